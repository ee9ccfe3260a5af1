#include "support/AppFolder.h"
#include "support/Files.h"
#include "support/NginxServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

using namespace freshgate::test;

namespace {

} // namespace

// The real program, built with a key, against a set published and signed with
// freshgate-publish: an intact set installs, a tampered archive is refused.
class TestSignedProgram : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.isRunning());
        QVERIFY(m_maker.isValid());
        QVERIFY(writeFile(m_maker.filePath("res/Orvane4.res"), "resources v2"));
        QVERIFY(writeFile(m_maker.filePath("data/core.dat"), "data v2"));
        QProcess publish;
        publish.start(
            qEnvironmentVariable("FRESHGATE_BUILD_DIR") + QStringLiteral("/freshgate-publish"),
            {"--out", m_server.root(), "--resource", "2", m_maker.filePath("res"), "--data", "2",
             m_maker.filePath("data"), "--sign", qEnvironmentVariable("FRESHGATE_TEST_KEY")});
        QVERIFY(publish.waitForFinished(60000));
        QVERIFY2(publish.exitCode() == 0, publish.readAllStandardError().constData());
    }

    void intactSetInstalls()
    {
        AppFolder app;
        const QString log = runProgram(app, "run complete");
        QVERIFY2(log.contains(QLatin1String("signature of ov4data.cab is good")), qPrintable(log));
        QCOMPARE(app.read("Orvane4.res"), QByteArray("resources v2"));
        QCOMPARE(app.read("Data/core.dat"), QByteArray("data v2"));
        QVERIFY(m_home.iniText().contains(QLatin1String("Data%20files%20version=2")));
    }

    void tamperedArchiveIsRefused()
    {
        const QString cabinet = QDir(m_server.root()).filePath("freshgate/ov4data.cab");
        QFile file(cabinet);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        bytes[bytes.size() - 1] = static_cast<char>(bytes[bytes.size() - 1] ^ 0x20);
        QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
        file.close();

        AppFolder app;
        QVERIFY(app.write("Data/core.dat", "data v1"));
        const QString log = runProgram(app, "could not reach the update server");
        QVERIFY2(log.contains(QLatin1String("refused ov4data.cab")), qPrintable(log));
        QCOMPARE(app.read("Data/core.dat"), QByteArray("data v1"));
        QVERIFY(!m_home.iniText().contains(QLatin1String("Data%20files")));
        // The resource file came before it and was good.
        QCOMPARE(app.read("Orvane4.res"), QByteArray("resources v2"));
    }

private:
    // Runs the signed program from app until its log says `until`, then ends it
    // as a user closing the window would. Returns the log.
    QString runProgram(AppFolder &app, const char *until)
    {
        m_home.clear();
        m_home.writeIni("[Freshgate]\nUpdate%20server=" + m_server.url(QString()).toUtf8() + "\n");
        const QString program = app.filePath("freshgate");
        QFile::copy(qEnvironmentVariable("FRESHGATE_SIGNED_PROGRAM"), program);
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", m_home.configHome());
        env.insert("QT_LOGGING_RULES", "freshgate.*=true");
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, {});
        process.waitForStarted(10000);
        QString log;
        QElapsedTimer clock;
        clock.start();
        while (!log.contains(QLatin1String(until)) && clock.elapsed() < 30000 &&
               process.state() == QProcess::Running) {
            process.waitForReadyRead(200);
            log += QString::fromUtf8(process.readAll());
        }
        process.terminate();
        const bool ended = process.waitForFinished(10000);
        log += QString::fromUtf8(process.readAll());
        if (!ended) {
            process.kill();
        }
        [&] {
            QVERIFY2(ended, "the program did not end when asked");
            QVERIFY2(log.contains(QLatin1String(until)), qPrintable(log));
        }();
        return log;
    }

    SettingsFile m_home;
    NginxServer m_server;
    QTemporaryDir m_maker;
};

QTEST_GUILESS_MAIN(TestSignedProgram)
#include "tst_signed_program.moc"
