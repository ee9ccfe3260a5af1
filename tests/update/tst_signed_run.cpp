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

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;
using namespace freshgate::test;

namespace {

int runMinisign(const QStringList &arguments)
{
    return runProcess(QStringLiteral("minisign"), arguments).exitCode;
}

} // namespace

// A build that names a key trusts only files that key signed; one that does not
// fetches no signature at all.
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
        QVERIFY(writeFile(m_keys.filePath("ov4arv.dat"), "2*1*1*400*0"));
        QVERIFY(writeCabinet(m_keys.filePath("ov4res.cab"), {{"Orvane4.res", "resources v2", 0}}));
        QVERIFY(writeCabinet(m_keys.filePath("ov4data.cab"), {{"core.dat", "data v2", 0}}));
        for (const char *file : {"ov4arv.dat", "ov4res.cab", "ov4data.cab"}) {
            QCOMPARE(sign("ours", QLatin1String(file)), 0);
        }
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
        serveSigned("ov4arv.dat");
        serveSigned("ov4res.cab");
        const RecordingView view = run(m_key);
        QVERIFY(view.finished());
        QVERIFY(!view.warned());
        QCOMPARE(view.icon(1), QStringLiteral("save"));
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources v2"));
        QCOMPARE(storedResourceVersion(), QStringLiteral("2"));
    }

    void untrustedArchiveIsRefused_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QByteArray>("signature");
        const QByteArray good = readFile(m_keys.filePath("ov4res.cab"));
        const QByteArray goodSignature = readFile(m_keys.filePath("ov4res.cab.minisig"));
        QByteArray changed = good;
        changed[changed.size() - 3] = static_cast<char>(changed[changed.size() - 3] ^ 0x01);
        QTest::newRow("changed archive") << changed << goodSignature;
        QTest::newRow("signature of another file")
            << good << readFile(m_keys.filePath("ov4data.cab.minisig"));
        QTest::newRow("garbage signature") << good << QByteArray("not a signature\n");

        QTemporaryDir other;
        const QString copy = other.filePath(QStringLiteral("ov4res.cab"));
        QFile::copy(m_keys.filePath("ov4res.cab"), copy);
        QCOMPARE(runMinisign({"-S", "-s", m_keys.filePath("theirs.sec"), "-m", copy}), 0);
        QTest::newRow("signed by another key") << good << readFile(copy + ".minisig");
    }

    // A refused archive is a failed download: the warning, and nothing written.
    void untrustedArchiveIsRefused()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QByteArray, signature);
        QVERIFY(m_app->write(QStringLiteral("Orvane4.res"), "resources v1"));
        serveSigned("ov4arv.dat");
        m_server->expect("GET", "/freshgate/ov4res.cab", ScriptedResponse::ok(archive));
        m_server->expect("GET", "/freshgate/ov4res.cab.minisig", ScriptedResponse::ok(signature));
        const RecordingView view = run(m_key);
        QVERIFY(view.warned());
        QVERIFY(!view.finished());
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources v1"));
        QVERIFY(!m_app->exists(QStringLiteral("Freshgate/resfile.cab")));
        QCOMPARE(storedResourceVersion(), QString());
    }

    void missingSignatureIsRefused_data()
    {
        QTest::addColumn<bool>("manifestSigned");
        QTest::newRow("manifest") << false;
        QTest::newRow("archive") << true;
    }

    void missingSignatureIsRefused()
    {
        QFETCH(bool, manifestSigned);
        if (manifestSigned) {
            serveSigned("ov4arv.dat");
            serve("ov4res.cab");
            m_server->expect("GET", "/freshgate/ov4res.cab.minisig",
                             ScriptedResponse::withStatus(404));
        } else {
            serve("ov4arv.dat");
            m_server->expect("GET", "/freshgate/ov4arv.dat.minisig",
                             ScriptedResponse::withStatus(404));
        }
        const RecordingView view = run(m_key);
        QVERIFY(view.warned());
        QVERIFY(!m_app->exists(QStringLiteral("Orvane4.res")));
        QCOMPARE(storedResourceVersion(), QString());
    }

    // A manifest is signed like any file: one with a bad signature is never read.
    void tamperedManifestIsRefused()
    {
        m_server->expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok("9*1*1*400*0"));
        m_server->expect("GET", "/freshgate/ov4arv.dat.minisig",
                         ScriptedResponse::ok(readFile(m_keys.filePath("ov4arv.dat.minisig"))));
        const RecordingView view = run(m_key);
        QVERIFY(view.warned());
        QCOMPARE(view.icon(1), QStringLiteral("downloading"));
    }

    // Fetched as bytes for its signature, a manifest is still held to the size of a text.
    void oversizedManifestIsRefused()
    {
        m_server->expect(
            "GET", "/freshgate/ov4arv.dat",
            ScriptedResponse::ok("9*1*1*400*0" + QByteArray(qsizetype{64} * 1024, ' ')));
        const RecordingView view = run(m_key);
        QVERIFY(view.warned());
        QVERIFY(!m_app->exists(QStringLiteral("Freshgate/ov4arv.dat")));
    }

    void unsignedBuildFetchesNoSignature()
    {
        serve("ov4arv.dat");
        serve("ov4res.cab");
        const RecordingView view = run(std::nullopt);
        QVERIFY(view.finished());
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources v2"));
    }

private:
    int sign(const char *key, const QString &file)
    {
        const QString path = m_keys.filePath(file);
        QFile::remove(path + QStringLiteral(".minisig"));
        return runMinisign(
            {"-S", "-s", m_keys.filePath(QLatin1String(key) + QStringLiteral(".sec")), "-m", path});
    }

    void serve(const char *file)
    {
        m_server->expect("GET", QByteArray("/freshgate/") + file,
                         ScriptedResponse::ok(readFile(m_keys.filePath(QLatin1String(file)))));
    }

    void serveSigned(const char *file)
    {
        serve(file);
        const QByteArray signature = QByteArray(file) + ".minisig";
        m_server->expect(
            "GET", "/freshgate/" + signature,
            ScriptedResponse::ok(readFile(m_keys.filePath(QString::fromLatin1(signature)))));
    }

    RecordingView run(std::optional<minisign::PublicKey> key)
    {
        RecordingView view;
        SettingsStore settings(m_home.iniPath());
        HttpTransfer transfer;
        transfer.setRequestTimeout(10);
        UpdateRun updateRun(view, settings, transfer, m_app->path(),
                            QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()));
        updateRun.setTrustedKey(std::move(key));
        updateRun.start();
        return view;
    }

    QString storedResourceVersion() const
    {
        SettingsStore settings(m_home.iniPath());
        return settings.read(SettingKey::ResourceVersion);
    }

    SettingsFile m_home;
    QTemporaryDir m_keys;
    minisign::PublicKey m_key;
    std::unique_ptr<AppFolder> m_app;
    std::unique_ptr<ScriptedServer> m_server;
};

QTEST_GUILESS_MAIN(TestSignedRun)
#include "tst_signed_run.moc"
