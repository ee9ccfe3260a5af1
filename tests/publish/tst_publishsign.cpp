#include "PublishFixture.h"
#include "support/Process.h"

#include <QDir>
#include <QFile>
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

    void signedSetVerifiesWithMinisign()
    {
        const Run publish = run(publishTool(), m_ws.fullArguments() << QStringLiteral("--sign")
                                                                    << m_ws.path("key.sec"));
        QVERIFY2(publish.exitCode == 0, publish.err.constData());

        const QStringList files = {"ov4arv.dat",  "ov4res.cab", "ov4data.cab",
                                   "ov4help.cab", "ov4exe.cab", "ov4fexe.cab"};
        for (const QString &name : files) {
            const QString file = QDir(m_ws.server()).filePath(name);
            QVERIFY2(QFile::exists(file + QStringLiteral(".minisig")), qPrintable(name));
            const Run verify = run(QStringLiteral("minisign"),
                                   {"-V", "-q", "-p", m_ws.path("key.pub"), "-m", file});
            QVERIFY2(verify.exitCode == 0, qPrintable(name + QLatin1Char(' ') + verify.err));
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
