#include "settings/SettingsStore.h"
#include "support/AppFolder.h"
#include "support/CabBuilder.h"
#include "support/Files.h"
#include "support/Process.h"
#include "support/RecordingView.h"
#include "support/ScriptedServer.h"
#include "transfer/HttpTransfer.h"
#include "trust/Minisign.h"
#include "update/UpdateRun.h"
#include "update/UpdateView.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;
using namespace freshgate::test;

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {

int runMinisign(const QStringList &arguments)
{
    return runProcess(QStringLiteral("minisign"), arguments).exitCode;
}

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

// A build that names a key trusts only files that key signed, and only as the maker signed
// them: an archive for the version the manifest offers and no larger than signed, a manifest no
// older than the last one accepted and not expired. One that names no key fetches no signature.
class TestSignedRun : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_keys.isValid());
        for (const char *name : {"ours", "theirs"}) {
            const QString base = m_keys.filePath(QLatin1String(name));
            QCOMPARE(runMinisign({"-G", "-W", "-p", base + ".pub", "-s", base + ".sec"}), 0);
        }
        const auto key =
            minisign::parsePublicKey(QString::fromLatin1(readFile(m_keys.filePath("ours.pub"))));
        QVERIFY2(key, qPrintable(key.message()));
        m_key = *key;

        // The set on the server: a manifest offering a new resource file.
        m_manifest = "2*1*1*400*0";
        QVERIFY(writeCabinet(m_keys.filePath("ov4res.cab"), {{"Orvane4.res", "resources v2", 0}}));
        QVERIFY(writeCabinet(m_keys.filePath("ov4data.cab"), {{"core.dat", "data v2", 0}}));
        m_archive = readFile(m_keys.filePath("ov4res.cab"));
        m_manifestSignature = signature("ours", m_manifest, "ov4arv.dat", {});
        m_archiveSignature =
            signature("ours", m_archive, "ov4res.cab", versionAndSize(2, m_archive));
    }

    void init()
    {
        m_home.clear();
        m_app = std::make_unique<AppFolder>();
        m_server = std::make_unique<ScriptedServer>();
    }

    void cleanup()
    {
        QVERIFY2(m_server->unmetExpectations().isEmpty(),
                 qPrintable(m_server->unmetExpectations().join(QLatin1Char(','))));
    }

    void signedSetInstalls()
    {
        const qint64 before = now();
        serveManifest(m_manifest, m_manifestSignature);
        serveArchive(ScriptedResponse::ok(m_archive), m_archiveSignature);
        const RecordingView view = run(m_key);
        QVERIFY(view.finished());
        QVERIFY(!view.warned());
        QCOMPARE(view.icon(1), QStringLiteral("save"));
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources v2"));
        QCOMPARE(stored(SettingKey::ResourceVersion), QStringLiteral("2"));
        // The manifest's signing time, to refuse an older one from now on.
        const qint64 signedAt = stored(SettingKey::ManifestSignedAt).toLongLong();
        QVERIFY(signedAt >= before - 60 && signedAt <= now());
        // Signatures are read and dropped: nothing of them stays in the work folder.
        QVERIFY2(filesIn(m_app->workFolder()).filter(QStringLiteral(".minisig")).isEmpty(),
                 qPrintable(filesIn(m_app->workFolder()).join(QLatin1Char(' '))));
    }

    void untrustedArchiveIsRefused_data()
    {
        QTest::addColumn<ScriptedResponse>("archive");
        QTest::addColumn<QByteArray>("signature");
        // Whether the archive is fetched at all: most refusals come from the signature alone.
        QTest::addColumn<bool>("fetched");
        // What the row's tip says, and the technical line.
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("detail");

        const ScriptedResponse good = ScriptedResponse::ok(m_archive);
        QByteArray changed = m_archive;
        changed[changed.size() - 3] = static_cast<char>(changed[changed.size() - 3] ^ 0x01);
        const QString size = QString::number(m_archive.size());
        const QString doesNotMatch = QStringLiteral("signature does not match");
        QTest::newRow("changed archive")
            << ScriptedResponse::ok(changed) << m_archiveSignature << true << doesNotMatch
            << QStringLiteral("does not match the content");
        QTest::newRow("signature of another file")
            << good
            << signature("ours", readFile(m_keys.filePath("ov4data.cab")), "ov4data.cab",
                         versionAndSize(2, m_archive))
            << false << doesNotMatch << QStringLiteral("is for \"ov4data.cab\"");
        QTest::newRow("garbage signature") << good << QByteArray("not a signature\n") << false
                                           << doesNotMatch << QStringLiteral("malformed");
        // Fetched before the archive, a signature is held to 16 KiB all the same.
        QTest::newRow("flood for a signature")
            << good << QByteArray(qsizetype{17} * 1024, 'x') << false << doesNotMatch
            << QStringLiteral("no usable signature ov4res.cab.minisig");
        QTest::newRow("signed by another key")
            << good << signature("theirs", m_archive, "ov4res.cab", versionAndSize(2, m_archive))
            << false << QStringLiteral("key this Freshgate does not trust")
            << QStringLiteral("another key");
        // Mix and match: a genuine archive of another release beside this manifest.
        QTest::newRow("signed for an older version")
            << good << signature("ours", m_archive, "ov4res.cab", versionAndSize(1, m_archive))
            << false << QStringLiteral("signed for version 1, the update list offers 2")
            << QStringLiteral("signed for version 1");
        QTest::newRow("signed without a version")
            << good << signature("ours", m_archive, "ov4res.cab", {}) << false
            << QStringLiteral("does not say which version") << QStringLiteral("names no version");
        // Endless and padded archives stop at the signed size; a short one is not the file.
        ScriptedResponse padded = ScriptedResponse::ok(m_archive + QByteArray(4096, '\0'));
        QTest::newRow("padded") << padded << m_archiveSignature << true
                                << QStringLiteral("not the %1 bytes").arg(size)
                                << QStringLiteral("limit of %1 bytes").arg(size);
        QTest::newRow("endless") << ScriptedResponse::endless() << m_archiveSignature << true
                                 << QStringLiteral("not the %1 bytes").arg(size)
                                 << QStringLiteral("limit of %1 bytes").arg(size);
        QTest::newRow("shorter than signed")
            << good
            << signature("ours", m_archive, "ov4res.cab",
                         QStringLiteral("\tversion:2\tsize:%1").arg(m_archive.size() + 1))
            << true << QStringLiteral("not the %1 bytes").arg(m_archive.size() + 1)
            << QStringLiteral("%1 bytes came").arg(size);
    }

    // A refused archive is a failed download: the warning, the reason on its row, and nothing
    // written.
    void untrustedArchiveIsRefused()
    {
        QFETCH(ScriptedResponse, archive);
        QFETCH(QByteArray, signature);
        QFETCH(bool, fetched);
        QFETCH(QString, reason);
        QFETCH(QString, detail);
        QVERIFY(m_app->write(QStringLiteral("Orvane4.res"), "resources v1"));
        serveManifest(m_manifest, m_manifestSignature);
        if (fetched) {
            serveArchive(archive, signature);
        } else {
            m_server->expect("GET", "/freshgate/ov4res.cab.minisig",
                             ScriptedResponse::ok(signature));
        }
        const RecordingView view = run(m_key);
        QVERIFY(view.warned());
        QVERIFY(!view.finished());
        QVERIFY2(view.tips[0].contains(reason), qPrintable(view.tips[0]));
        QVERIFY2(view.explanations.join(u' ').contains(reason),
                 qPrintable(view.explanations.join(u' ')));
        QVERIFY2(view.technicalLines.join(u' ').contains(detail),
                 qPrintable(view.technicalLines.join(u' ')));
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources v1"));
        QVERIFY(!m_app->exists(QStringLiteral("Freshgate/resfile.cab")));
        QCOMPARE(filesIn(m_app->workFolder()), QStringList());
        QCOMPARE(stored(SettingKey::ResourceVersion), QString());
        // The manifest was accepted, so its time is kept even though the archive was not.
        QVERIFY(!stored(SettingKey::ManifestSignedAt).isEmpty());
    }

    void missingSignatureIsRefused_data()
    {
        QTest::addColumn<bool>("manifestSigned");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::newRow("manifest") << false << 404 << QStringLiteral("signature does not match");
        QTest::newRow("archive") << true << 404 << QStringLiteral("signature does not match");
        // A busy server is not a missing signature, and is told as what it is.
        QTest::newRow("archive, busy server")
            << true << 503 << QStringLiteral("answered \"503 Service Unavailable\"");
    }

    // The file whose signature is missing is never fetched.
    void missingSignatureIsRefused()
    {
        QFETCH(bool, manifestSigned);
        QFETCH(int, status);
        QFETCH(QString, says);
        if (manifestSigned) {
            serveManifest(m_manifest, m_manifestSignature);
            m_server->expect("GET", "/freshgate/ov4res.cab.minisig",
                             ScriptedResponse::withStatus(status));
        } else {
            m_server->expect("GET", "/freshgate/ov4arv.dat.minisig",
                             ScriptedResponse::withStatus(status));
        }
        const RecordingView view = run(m_key);
        QVERIFY(view.warned());
        QVERIFY2(view.explanations.join(u' ').contains(says),
                 qPrintable(view.explanations.join(u' ')));
        QVERIFY(!m_app->exists(QStringLiteral("Orvane4.res")));
        QCOMPARE(stored(SettingKey::ResourceVersion), QString());
        // Kept once the manifest was accepted, whatever became of the archive.
        QCOMPARE(stored(SettingKey::ManifestSignedAt).isEmpty(), !manifestSigned);
    }

    // A manifest is signed like any file: one with a bad signature is never read.
    void tamperedManifestIsRefused()
    {
        serveManifest("9*1*1*400*0", m_manifestSignature);
        const RecordingView view = run(m_key);
        QVERIFY(view.warned());
        QCOMPARE(view.icon(1), QStringLiteral("downloading"));
        QCOMPARE(stored(SettingKey::ManifestSignedAt), QString());
    }

    // Fetched as bytes for its signature, a manifest is still held to the size of a text.
    void oversizedManifestIsRefused()
    {
        serveManifest(m_manifest + QByteArray(qsizetype{64} * 1024, ' '), m_manifestSignature);
        const RecordingView view = run(m_key);
        QVERIFY(view.warned());
        QCOMPARE(filesIn(m_app->workFolder()), QStringList());
    }

    void manifestTime_data()
    {
        QTest::addColumn<QString>("storedBefore");
        QTest::addColumn<QString>("fields"); // after "file:ov4arv.dat"
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("storedAfter"); // "now": the clock's time at the run

        const qint64 t = now();
        const auto at = [](qint64 time) { return QStringLiteral("timestamp:%1").arg(time); };
        const QString hourAgo = QString::number(t - 3600);
        const QString dayAgo = QString::number(t - 86400);
        QTest::newRow("first one") << QString() << at(t - 3600) << true << QString() << hourAgo;
        QTest::newRow("newer") << dayAgo << at(t - 3600) << true << QString() << hourAgo;
        QTest::newRow("the same again") << hourAgo << at(t - 3600) << true << QString() << hourAgo;
        QTest::newRow("older") << hourAgo << at(t - 86400) << false
                               << QStringLiteral("before the one Freshgate accepted here last")
                               << hourAgo;
        QTest::newRow("no time, one stored")
            << hourAgo << QString() << false << QStringLiteral("carries no signing time")
            << hourAgo;
        QTest::newRow("no time, none stored")
            << QString() << QString() << true << QString() << QString();
        QTest::newRow("stored is no time")
            << QStringLiteral("soon") << at(t - 3600) << true << QString() << hourAgo;
        QTest::newRow("expired") << QString()
                                 << at(t - 86400) + QStringLiteral("\texpires:%1").arg(t - 3600)
                                 << false << QStringLiteral("expired on") << QString();
        QTest::newRow("expired within the grace")
            << QString() << at(t - 86400) + QStringLiteral("\texpires:%1").arg(t - 60) << true
            << QString() << dayAgo;
        QTest::newRow("not yet expired")
            << QString() << at(t - 86400) + QStringLiteral("\texpires:%1").arg(t + 86400) << true
            << QString() << dayAgo;
        // A time ahead of the clock (a stolen key, a wrong clock) must not lock out the maker.
        QTest::newRow("from the future")
            << hourAgo << at(t + qint64{10} * 86400) << true << QString() << QStringLiteral("now");
    }

    // The newest manifest time accepted is kept, never lowered, and written only by a run
    // that accepted its manifest.
    void manifestTime()
    {
        QFETCH(QString, storedBefore);
        QFETCH(QString, fields);
        QFETCH(bool, accepted);
        QFETCH(QString, reason);
        QFETCH(QString, storedAfter);
        QByteArray ini = "[Freshgate]\nResource%20file%20version=2\n";
        if (!storedBefore.isEmpty()) {
            ini += "Manifest%20signed%20at=" + storedBefore.toLatin1() + '\n';
        }
        QVERIFY(m_home.writeIni(ini));
        const QString comment = fields.isEmpty() ? QStringLiteral("file:ov4arv.dat")
                                                 : fields + QStringLiteral("\tfile:ov4arv.dat");
        const QByteArray signed_ = signature("ours", m_manifest, "ov4arv.dat", comment, false);
        if (accepted) {
            serveManifest(m_manifest, signed_);
        } else {
            // Refused by its signature's comment alone, the manifest itself is never fetched.
            m_server->expect("GET", "/freshgate/ov4arv.dat.minisig", ScriptedResponse::ok(signed_));
        }
        const qint64 before = now();
        const RecordingView view = run(m_key);
        const qint64 after = now();
        QCOMPARE(view.finished(), accepted);
        QVERIFY2(view.explanations.join(u' ').contains(reason),
                 qPrintable(view.explanations.join(u' ')));
        const QString kept = stored(SettingKey::ManifestSignedAt);
        if (storedAfter == QLatin1String("now")) {
            QVERIFY2(kept.toLongLong() >= before && kept.toLongLong() <= after, qPrintable(kept));
        } else {
            QCOMPARE(kept, storedAfter.isEmpty() ? storedBefore : storedAfter);
        }
    }

    void unsignedBuildFetchesNoSignature()
    {
        m_server->expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok(m_manifest));
        m_server->expect("GET", "/freshgate/ov4res.cab", ScriptedResponse::ok(m_archive));
        const RecordingView view = run(std::nullopt);
        QVERIFY(view.finished());
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources v2"));
        QCOMPARE(stored(SettingKey::ManifestSignedAt), QString());
    }

private:
    static QString versionAndSize(int version, const QByteArray &content)
    {
        return QStringLiteral("\tversion:%1\tsize:%2").arg(version).arg(content.size());
    }

    // The .minisig that `minisign -S -t` makes for content served as name, with the trusted
    // comment "timestamp:<now>\tfile:<name>" and fields after it; or, without the stamp,
    // exactly fields.
    QByteArray signature(const char *key, const QByteArray &content, const char *name,
                         const QString &fields, bool stamped = true)
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(name));
        if (!writeFile(path, content)) {
            return {};
        }
        const QString comment =
            stamped ? QStringLiteral("timestamp:%1\tfile:%2%3").arg(now()).arg(name).arg(fields)
                    : fields;
        if (runMinisign({"-S", "-s", m_keys.filePath(QLatin1String(key) + QStringLiteral(".sec")),
                         "-m", path, "-t", comment}) != 0) {
            return {};
        }
        return readFile(path + QStringLiteral(".minisig"));
    }

    void serveManifest(const QByteArray &manifest, const QByteArray &signature)
    {
        m_server->expect("GET", "/freshgate/ov4arv.dat.minisig", ScriptedResponse::ok(signature));
        m_server->expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok(manifest));
    }

    void serveArchive(const ScriptedResponse &archive, const QByteArray &signature)
    {
        m_server->expect("GET", "/freshgate/ov4res.cab.minisig", ScriptedResponse::ok(signature));
        m_server->expect("GET", "/freshgate/ov4res.cab", archive);
    }

    RecordingView run(std::optional<minisign::PublicKey> key)
    {
        RecordingView view;
        SettingsStore settings(m_home.iniPath());
        HttpTransfer transfer;
        transfer.setRequestTimeout(10);
        transfer.setRetries(1, 0);
        UpdateRun updateRun(view, settings, transfer, m_app->path(),
                            QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()));
        updateRun.setTrustedKeys(key ? std::optional(QList<minisign::PublicKey>{*key})
                                     : std::nullopt);
        updateRun.start();
        return view;
    }

    QString stored(SettingKey key) const
    {
        SettingsStore settings(m_home.iniPath());
        return settings.read(key);
    }

    SettingsFile m_home;
    QTemporaryDir m_keys;
    minisign::PublicKey m_key;
    QByteArray m_manifest;
    QByteArray m_archive;
    QByteArray m_manifestSignature;
    QByteArray m_archiveSignature;
    std::unique_ptr<AppFolder> m_app;
    std::unique_ptr<ScriptedServer> m_server;
};

QTEST_GUILESS_MAIN(TestSignedRun)
#include "tst_signed_run.moc"
