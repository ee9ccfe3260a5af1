#include "PublishFixture.h"
#include "support/Process.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace freshgate::test;

namespace {

using Run = ProcessRun;

Run run(const QString &program, const QStringList &arguments, const QByteArray &input = {},
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return runProcess(
        program, arguments,
        ProcessOptions().withInput(input).withEnvironment(environment).withTimeout(120000));
}

QString publishTool()
{
    return qEnvironmentVariable("FRESHGATE_BUILD_DIR") + QStringLiteral("/freshgate-publish");
}

} // namespace

// Signatures the publisher writes are the ones the real minisign accepts, so a
// maker can check them, or make them, with that tool too.
class TestPublishSign : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_ws.isValid());
        const Run keys = run(QStringLiteral("minisign"),
                             {"-G", "-W", "-p", m_ws.path("key.pub"), "-s", m_ws.path("key.sec")});
        QVERIFY2(keys.exitCode == 0, keys.err.constData());
        const Run other = run(QStringLiteral("minisign"), {"-G", "-W", "-p", m_ws.path("other.pub"),
                                                           "-s", m_ws.path("other.sec")});
        QVERIFY(other.exitCode == 0);
    }

    // Each trusted comment binds its file to this release: the name, and for a cabinet the
    // version the manifest offers and its size; the manifest's says when it expires.
    void signedSetVerifiesWithMinisign()
    {
        const qint64 start = QDateTime::currentSecsSinceEpoch();
        const Run publish =
            run(publishTool(), m_ws.fullArguments() << QStringLiteral("--sign")
                                                    << m_ws.path("key.sec") << "--valid-for"
                                                    << "7");
        QVERIFY2(publish.exitCode == 0, publish.err.constData());
        const qint64 end = QDateTime::currentSecsSinceEpoch();

        const QMap<QString, QString> versions = {{"ov4arv.dat", {}},    {"ov4res.cab", "3"},
                                                 {"ov4data.cab", "2"},  {"ov4help.cab", "5"},
                                                 {"ov4exe.cab", "420"}, {"ov4fexe.cab", "420"}};
        for (const QString &name : versions.keys()) {
            const QString file = QDir(m_ws.server()).filePath(name);
            QVERIFY2(QFile::exists(file + QStringLiteral(".minisig")), qPrintable(name));
            const Run verify =
                run(QStringLiteral("minisign"), {"-V", "-p", m_ws.path("key.pub"), "-m", file});
            QVERIFY2(verify.exitCode == 0, qPrintable(name + QLatin1Char(' ') + verify.err));
            const QString comment = QString::fromUtf8(verify.out)
                                        .section(QStringLiteral("Trusted comment: "), 1)
                                        .trimmed();
            const QStringList fields = comment.split(u'\t');
            QVERIFY2(fields.value(0).startsWith(QLatin1String("timestamp:")), qPrintable(comment));
            QVERIFY2(fields.contains(QStringLiteral("file:") + name), qPrintable(comment));
            if (name == QLatin1String("ov4arv.dat")) {
                const qint64 expires = comment.section(QStringLiteral("expires:"), 1)
                                           .section(u'\t', 0, 0)
                                           .toLongLong();
                QVERIFY2(expires >= start + qint64{7} * 86400 && expires <= end + qint64{7} * 86400,
                         qPrintable(comment));
                QVERIFY2(!comment.contains(QLatin1String("version:")), qPrintable(comment));
            } else {
                QVERIFY2(fields.contains(QStringLiteral("version:") + versions.value(name)),
                         qPrintable(comment));
                QVERIFY2(fields.contains(QStringLiteral("size:%1").arg(QFileInfo(file).size())),
                         qPrintable(comment));
                QVERIFY2(!comment.contains(QLatin1String("expires:")), qPrintable(comment));
            }
            const Run wrongKey = run(QStringLiteral("minisign"),
                                     {"-V", "-q", "-p", m_ws.path("other.pub"), "-m", file});
            QVERIFY(wrongKey.exitCode != 0);
            QVERIFY(publish.out.contains("signed " + file.toUtf8()));
        }

        // Publishing again without the key would drop the signatures that
        // signed clients need, so it takes --unsigned on purpose.
        const auto before = snapshotTree(m_ws.out(), Snapshot::WithPermissions);
        QStringList again = m_ws.expand({"--out", "{ws}/www", "--data", "7", "{ws}/data"});
        const Run refused = run(publishTool(), again);
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains("holds signatures (ov4arv.dat.minisig and 5 more)"),
                 refused.err.constData());
        QVERIFY2(refused.err.contains("give --sign KEY, or --unsigned"), refused.err.constData());
        QCOMPARE(refused.err.count('\n'), 1);
        QCOMPARE(snapshotTree(m_ws.out(), Snapshot::WithPermissions), before);

        // Then no stale signature is left behind: the old manifest's signature
        // would not match the new manifest.
        const Run unsigned_ = run(publishTool(), again << QStringLiteral("--unsigned"));
        QVERIFY2(unsigned_.exitCode == 0, unsigned_.err.constData());
        QVERIFY(unsigned_.err.contains("note: dropped the signatures"));
        QVERIFY(QDir(m_ws.server()).entryList({QStringLiteral("*.minisig")}).isEmpty());
        QCOMPARE(m_ws.manifest(), QByteArray("3*7*5*420*410"));
    }

    void validForRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("without a key")
            << QStringList{"--valid-for", "7"} << QByteArray("needs --sign");
        QTest::newRow("not a number")
            << QStringList{"--sign", "{ws}/key.sec", "--valid-for", "a week"}
            << QByteArray("from 1 to 3650");
        QTest::newRow("too many") << QStringList{"--sign", "{ws}/key.sec", "--valid-for", "3651"}
                                  << QByteArray("from 1 to 3650");
    }

    void validForRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, says);
        const auto before = snapshotTree(m_ws.out(), Snapshot::WithPermissions);
        const Run publish = run(publishTool(), m_ws.fullArguments() << m_ws.expand(arguments));
        QCOMPARE(publish.exitCode, 1);
        QVERIFY2(publish.err.contains(says), publish.err.constData());
        QCOMPARE(snapshotTree(m_ws.out(), Snapshot::WithPermissions), before);
    }

    void unusableKeyChangesNothing_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("missing") << QStringLiteral("absent.sec");
        QTest::newRow("a public key") << QStringLiteral("key.pub");
    }

    void unusableKeyChangesNothing()
    {
        QFETCH(QString, key);
        const auto before = snapshotTree(m_ws.out(), Snapshot::WithPermissions);
        const Run publish =
            run(publishTool(), m_ws.fullArguments() << QStringLiteral("--sign") << m_ws.path(key));
        QCOMPARE(publish.exitCode, 1);
        QVERIFY(publish.err.contains("cannot use the key"));
        QCOMPARE(snapshotTree(m_ws.out(), Snapshot::WithPermissions), before);
    }

private:
    Workspace m_ws;
};

QTEST_GUILESS_MAIN(TestPublishSign)
#include "tst_publishsign.moc"
