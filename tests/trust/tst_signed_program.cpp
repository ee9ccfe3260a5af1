#include "support/AppFolder.h"
#include "support/Files.h"
#include "support/NginxServer.h"
#include "support/Process.h"
#include "support/ScriptedServer.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

using namespace freshgate::test;

namespace {

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

// freshgate-publish into root, signed with key; empty when it worked, else what it said.
QString publish(const QString &root, const QStringList &components, const QString &key,
                const QStringList &more = {})
{
    const ProcessRun run = runProcess(
        qEnvironmentVariable("FRESHGATE_BUILD_DIR") + QStringLiteral("/freshgate-publish"),
        QStringList{"--out", root} + components + QStringList{"--sign", key} + more,
        ProcessOptions().withTimeout(60000));
    return run.exitCode == 0 ? QString() : QString::fromUtf8(run.err) + QStringLiteral("failed");
}

// Signs file in place as a maker would by hand, with exactly this trusted comment.
bool signByHand(const QString &file, const QString &secretKey, const QString &comment)
{
    QFile::remove(file + QStringLiteral(".minisig"));
    return runProcess(QStringLiteral("minisign"),
                      {"-S", "-s", secretKey, "-m", file, "-t", comment})
               .exitCode == 0;
}

} // namespace

// The real program, built trusting two keys, against a set published and signed with
// freshgate-publish: an intact set signed with either key installs; a tampered archive, an
// archive of another release, one signed with a key the build does not trust, a padded or
// endless one, an expired manifest and an old manifest replayed are each refused, and change
// nothing.
class TestSignedProgram : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.isRunning());
        QVERIFY(m_maker.isValid());
        QVERIFY(writeFile(m_maker.filePath("res/Orvane4.res"), "resources v2"));
        QVERIFY(writeFile(m_maker.filePath("data/core.dat"), "data v2"));
        const QString published = publish(
            m_server.root(),
            {"--resource", "2", m_maker.filePath("res"), "--data", "2", m_maker.filePath("data")},
            qEnvironmentVariable("FRESHGATE_TEST_KEY"));
        QVERIFY2(published.isEmpty(), qPrintable(published));
        // A key the build does not list.
        m_strangerKey = m_maker.filePath("stranger.sec");
        QCOMPARE(
            runProcess(QStringLiteral("minisign"),
                       {"-G", "-W", "-p", m_maker.filePath("stranger.pub"), "-s", m_strangerKey})
                .exitCode,
            0);
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
        const QString log = runProgram(app, "the run ends");
        QVERIFY2(log.contains(QLatin1String("refused ov4data.cab")), qPrintable(log));
        QCOMPARE(app.read("Data/core.dat"), QByteArray("data v1"));
        QVERIFY(!m_home.iniText().contains(QLatin1String("Data%20files")));
        // The resource file came before it and was good.
        QCOMPARE(app.read("Orvane4.res"), QByteArray("resources v2"));
    }

    void signedSet_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<bool>("installs");
        QTest::addColumn<QString>("log"); // what the program's log says

        QTest::newRow("intact, first key")
            << QString() << true << "signature of ov4data.cab is good";
        QTest::newRow("intact, second key")
            << QStringLiteral("second key") << true << "signature of ov4data.cab is good";
        QTest::newRow("manifest expired within the grace")
            << QStringLiteral("expired a minute ago") << true << "signature of ov4data.cab is good";
        QTest::newRow("archive of an older release")
            << QStringLiteral("mix and match") << false
            << "refused ov4data.cab: signed for version 1, the update list offers 2";
        QTest::newRow("archive signed by a key not listed")
            << QStringLiteral("stranger") << false << "refused ov4data.cab: signed by another key";
        QTest::newRow("padded archive")
            << QStringLiteral("padded") << false << "refused ov4data.cab: larger than the";
        QTest::newRow("endless archive")
            << QStringLiteral("endless") << false << "refused ov4data.cab: larger than the";
        QTest::newRow("manifest expired")
            << QStringLiteral("expired an hour ago") << false << "refused ov4arv.dat: it expired";
    }

    // The data files are the one component out of date; each attack is on them or on the
    // manifest, so a refusal must leave them, and the whole store, as they were.
    void signedSet()
    {
        QFETCH(QString, attack);
        QFETCH(bool, installs);
        QFETCH(QString, log);
        const QString folder = QDir(m_server.root()).filePath("freshgate");
        const QString key = qEnvironmentVariable(
            attack == QLatin1String("second key") ? "FRESHGATE_TEST_KEY2" : "FRESHGATE_TEST_KEY");
        QStringList more;
        if (attack.startsWith(QLatin1String("expired"))) {
            more << "--valid-for"
                 << "1";
        }
        QString published =
            publish(m_server.root(), {"--data", "2", m_maker.filePath("data")}, key, more);
        QVERIFY2(published.isEmpty(), qPrintable(published));
        const QString data = QDir(folder).filePath("ov4data.cab");
        const QString manifest = QDir(folder).filePath("ov4arv.dat");
        const QString signedSize = QString::number(QFileInfo(data).size());
        std::unique_ptr<ScriptedServer> scripted;
        if (attack == QLatin1String("mix and match")) {
            // The maker's own earlier release, genuinely signed for version 1.
            QTemporaryDir old;
            QVERIFY(writeFile(m_maker.filePath("old/core.dat"), "data v1, re-served"));
            published = publish(old.path(), {"--data", "1", m_maker.filePath("old")}, key);
            QVERIFY2(published.isEmpty(), qPrintable(published));
            for (const QString name : {"ov4data.cab", "ov4data.cab.minisig"}) {
                QFile::remove(QDir(folder).filePath(name));
                QVERIFY(QFile::copy(QDir(old.path()).filePath("freshgate/" + name),
                                    QDir(folder).filePath(name)));
            }
        } else if (attack == QLatin1String("stranger")) {
            QVERIFY(signByHand(data, m_strangerKey,
                               QStringLiteral("timestamp:%1\tfile:ov4data.cab\tversion:2\tsize:%2")
                                   .arg(now())
                                   .arg(QFileInfo(data).size())));
        } else if (attack == QLatin1String("padded")) {
            QFile file(data);
            QVERIFY(file.open(QIODevice::Append));
            const QByteArray padding(qsizetype{1024} * 1024, '\0');
            QVERIFY(file.write(padding) == padding.size());
        } else if (attack == QLatin1String("endless")) {
            // nginx serves only what is there: a scripted server sends the archive forever.
            scripted = std::make_unique<ScriptedServer>();
            for (const QString name : {"ov4arv.dat.minisig", "ov4arv.dat", "ov4data.cab.minisig"}) {
                scripted->expect("GET", "/freshgate/" + name.toLatin1(),
                                 ScriptedResponse::ok(readFile(QDir(folder).filePath(name))));
            }
            scripted->expect("GET", "/freshgate/ov4data.cab", ScriptedResponse::endless());
        } else if (attack.startsWith(QLatin1String("expired"))) {
            const qint64 expired =
                now() - (attack.endsWith(QLatin1String("minute ago")) ? 60 : 3600);
            QVERIFY(signByHand(manifest, key,
                               QStringLiteral("timestamp:%1\tfile:ov4arv.dat\texpires:%2")
                                   .arg(now() - 86400)
                                   .arg(expired)));
        }

        AppFolder app;
        QVERIFY(app.write("Data/core.dat", "data v1"));
        const QByteArray ini = "Resource%20file%20version=2\n";
        const QString output = runProgram(app, installs ? "run complete" : "the run ends", ini,
                                          scripted ? scripted->url({}) : QString());
        QVERIFY2(output.contains(log), qPrintable(output));
        if (installs) {
            QCOMPARE(app.read("Data/core.dat"), QByteArray("data v2"));
            QVERIFY(m_home.iniText().contains(QLatin1String("Data%20files%20version=2")));
            return;
        }
        QCOMPARE(app.read("Data/core.dat"), QByteArray("data v1"));
        QVERIFY(!m_home.iniText().contains(QLatin1String("Data%20files")));
        QCOMPARE(filesIn(app.workFolder()), QStringList());
        if (attack == QLatin1String("padded") || attack == QLatin1String("endless")) {
            // The download stopped at the size signed, not at the general limit.
            QVERIFY2(output.contains(QStringLiteral("limit of %1 bytes").arg(signedSize)),
                     qPrintable(output));
        }
        if (attack.startsWith(QLatin1String("expired"))) {
            QVERIFY(!m_home.iniText().contains(QLatin1String("Manifest%20signed%20at")));
        }
    }

    // Rollback: once a manifest was accepted, one signed earlier is refused, however genuine,
    // and the run changes nothing: no file, no version, not the time it keeps.
    void olderManifestIsRefused()
    {
        const QString key = qEnvironmentVariable("FRESHGATE_TEST_KEY");
        QString published =
            publish(m_server.root(), {"--data", "2", m_maker.filePath("data")}, key);
        QVERIFY2(published.isEmpty(), qPrintable(published));
        AppFolder app;
        QVERIFY(app.write("Data/core.dat", "data v1"));
        runProgram(app, "run complete", "Resource%20file%20version=2\n");
        QCOMPARE(app.read("Data/core.dat"), QByteArray("data v2"));
        const QString afterFirst = m_home.iniText();
        QVERIFY2(afterFirst.contains(QLatin1String("Manifest%20signed%20at=")),
                 qPrintable(afterFirst));

        // A replay of a manifest signed three years ago, offering data 3 that is genuine too.
        QVERIFY(writeFile(m_maker.filePath("data3/core.dat"), "data v3"));
        published = publish(m_server.root(), {"--data", "3", m_maker.filePath("data3")}, key);
        QVERIFY2(published.isEmpty(), qPrintable(published));
        const QString manifest = QDir(m_server.root()).filePath("freshgate/ov4arv.dat");
        QVERIFY(signByHand(
            manifest, key,
            QStringLiteral("timestamp:%1\tfile:ov4arv.dat").arg(now() - qint64{3} * 365 * 86400)));
        const auto files = app.snapshot("Data");
        const QString log = runProgram(app, "the run ends", {}, {}, false);
        QVERIFY2(log.contains(QLatin1String("refused ov4arv.dat: signed")), qPrintable(log));
        QVERIFY2(log.contains(QLatin1String("before the one accepted last")), qPrintable(log));
        QCOMPARE(app.snapshot("Data"), files);
        QCOMPARE(m_home.iniText(), afterFirst);
    }

private:
    // Runs the signed program from app until its log says `until`, then ends it
    // as a user closing the window would. Returns the log. A fresh store names server (nginx
    // when empty) and holds the lines of section [Freshgate] given; without one, the store of
    // the run before is kept as it is.
    QString runProgram(AppFolder &app, const char *until, const QByteArray &lines = {},
                       const QString &server = {}, bool fresh = true)
    {
        if (fresh) {
            m_home.clear();
            m_home.writeIni("[Freshgate]\nUpdate%20server=" +
                            (server.isEmpty() ? m_server.url(QString()) : server).toUtf8() + "\n" +
                            lines);
        }
        // Freshgate works only beside an installed product.
        if (!app.exists("Orvane4.exe")) {
            app.write("Orvane4.exe", "the product");
        }
        const QString program = app.filePath("freshgate");
        QFile::remove(program);
        QFile::copy(qEnvironmentVariable("FRESHGATE_SIGNED_PROGRAM"), program);
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", m_home.configHome());
        env.insert("XDG_STATE_HOME", m_home.configHome() + "/state");
        env.insert("QT_LOGGING_RULES", "freshgate.*=true");
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, {});
        process.waitForStarted(10000);
        QString log;
        QElapsedTimer clock;
        clock.start();
        // An event loop while waiting, so a scripted server in this process can answer.
        while (!log.contains(QLatin1String(until)) && clock.elapsed() < 30000 &&
               process.state() == QProcess::Running) {
            QTest::qWait(50);
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
    QString m_strangerKey;
};

QTEST_GUILESS_MAIN(TestSignedProgram)
#include "tst_signed_program.moc"
