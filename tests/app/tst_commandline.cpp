// The command line, parsed as a table and then answered by the real program: each answer comes
// before the window system starts, so none needs a display, and none touches the folder. Then
// the log every run keeps.
#include "app/CommandLine.h"
#include "app/LastRunLog.h"
#include "support/AppFolder.h"
#include "support/Files.h"
#include "support/Process.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

namespace {

Q_LOGGING_CATEGORY(lcTest, "freshgate.test", QtWarningMsg)
Q_LOGGING_CATEGORY(lcOther, "other.test", QtWarningMsg)

// What reaches the handler that was there before the log: standard error, in the program.
QStringList g_passedOn;
void recordPassedOn(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_passedOn << message;
}

} // namespace

using freshgate::CommandLine;
using freshgate::parseCommandLine;
using Action = CommandLine::Action;
using freshgate::test::ProcessOptions;
using freshgate::test::ProcessRun;
using freshgate::test::runProcess;

Q_DECLARE_METATYPE(CommandLine::Action)

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QStringList>("ignored");
        QTest::newRow("none runs the update")
            << QStringList{} << Action::RunUpdate << QStringList{};
        QTest::newRow("help") << QStringList{"--help"} << Action::ShowHelp << QStringList{};
        QTest::newRow("short help") << QStringList{"-h"} << Action::ShowHelp << QStringList{};
        QTest::newRow("version") << QStringList{"--version"} << Action::ShowVersion
                                 << QStringList{};
        QTest::newRow("short version") << QStringList{"-v"} << Action::ShowVersion << QStringList{};
        QTest::newRow("help wins over version")
            << QStringList{"--version", "--help"} << Action::ShowHelp << QStringList{};
        // The product may start its updater with arguments of its own: they change nothing.
        QTest::newRow("unknown option")
            << QStringList{"--server=x"} << Action::RunUpdate << QStringList{"--server=x"};
        QTest::newRow("a word") << QStringList{"foo"} << Action::RunUpdate << QStringList{"foo"};
        QTest::newRow("a Windows switch")
            << QStringList{"/auto"} << Action::RunUpdate << QStringList{"/auto"};
        QTest::newRow("unknown beside a good one")
            << QStringList{"--bogus", "--version"} << Action::ShowVersion << QStringList{"--bogus"};
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Action, action);
        QFETCH(QStringList, ignored);
        const CommandLine line = parseCommandLine(arguments);
        QCOMPARE(line.action, action);
        QCOMPARE(line.ignored, ignored);
    }

    void handOver_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QStringList>("handOver");
        QTest::newRow("first") << QStringList{"--elevated-install", "id", "C:\\w", "data=7"}
                               << Action::ElevatedInstall << QStringList{"id", "C:\\w", "data=7"};
        // Whatever follows belongs to the hand-over, which checks it; --help there is not asked.
        QTest::newRow("help after it") << QStringList{"--elevated-install", "--help"}
                                       << Action::ElevatedInstall << QStringList{"--help"};
        QTest::newRow("not first is ignored")
            << QStringList{"foo", "--elevated-install", "id"} << Action::RunUpdate << QStringList{};
    }

    // The hand-over to the elevated step is Freshgate's own, and only ever its first argument.
    void handOver()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Action, action);
        QFETCH(QStringList, handOver);
        const CommandLine line = parseCommandLine(arguments);
        QCOMPARE(line.action, action);
        QCOMPARE(line.handOver, handOver);
        QCOMPARE(line.ignored.isEmpty(), action == Action::ElevatedInstall);
    }

    void realProgram_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stdoutStart");
        QTest::addColumn<QByteArray>("stderrText");
        QTest::newRow("help") << QStringList{"--help"} << QString() << 0
                              << QByteArray("Usage: freshgate") << QByteArray();
        QTest::newRow("version") << QStringList{"--version"} << QString() << 0
                                 << QByteArray("Freshgate " FRESHGATE_VERSION "\n") << QByteArray();
        // Not refused: the update runs, and here finds no display to run on.
        QTest::newRow("unknown arguments")
            << QStringList{"--bogus", "/auto"} << QString() << 1 << QByteArray()
            << QByteArray("freshgate: no display to show the window on (DISPLAY is not set)\n");
        QTest::newRow("no display") << QStringList{} << QString() << 1 << QByteArray()
                                    << QByteArray("freshgate: no display to show the window "
                                                  "on (DISPLAY is not set)\n");
        QTest::newRow("a display nobody serves")
            << QStringList{} << QStringLiteral(":97") << 1 << QByteArray()
            << QByteArray("freshgate: cannot open the display: could not connect to display :97\n");
        // The elevated step needs no display, and writes nothing where there is no product.
        QTest::newRow("elevated step beside no product")
            << QStringList{"--elevated-install", "0123456789abcdef0123456789abcdef", "/tmp",
                           "data=2"}
            << QString() << 2 << QByteArray()
            << QByteArray("freshgate: no Orvane4 beside this program; nothing installed\n");
    }

    void realProgram()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stdoutStart);
        QFETCH(QByteArray, stderrText);

        // A folder of its own, so what it would touch there shows.
        freshgate::test::AppFolder app;
        const QString program = app.filePath(QStringLiteral("freshgate"));
        QVERIFY(QFile::copy(
            QDir(qEnvironmentVariable("FRESHGATE_BUILD_DIR")).filePath(QStringLiteral("freshgate")),
            program));
        const auto before = app.snapshot();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
            env.remove(QLatin1String(name));
        }
        if (!display.isEmpty()) {
            env.insert(QStringLiteral("DISPLAY"), display);
        }
        const QTemporaryDir state;
        env.insert(QStringLiteral("XDG_STATE_HOME"), state.path());
        const ProcessRun run = runProcess(program, arguments,
                                          ProcessOptions().withEnvironment(env).withTimeout(20000));
        QVERIFY2(run.finished, qPrintable(run.error));
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.out.startsWith(stdoutStart), run.out.constData());
        QCOMPARE(run.err, stderrText);
        QCOMPARE(app.snapshot(), before);
    }

    // Every line of ours reaches the file, whatever the rules show on standard error; standard
    // error gets what it always got. The run before stays as previous-run.log.
    void logKeepsEveryLineAndTheRunBefore()
    {
        QTemporaryDir state;
        const QString folder = state.filePath(QStringLiteral("freshgate"));
        const QtMessageHandler before = qInstallMessageHandler(recordPassedOn);
        g_passedOn.clear();
        {
            const freshgate::LastRunLog log(folder);
            QVERIFY(log.isOpen());
            qCInfo(lcTest) << "first run";
        }
        {
            const freshgate::LastRunLog log(folder);
            QCOMPARE(log.path(), QDir(folder).filePath(QStringLiteral("last-run.log")));
            qCDebug(lcTest) << "a debug line";
            qCInfo(lcTest) << "an info line";
            qCWarning(lcTest) << "a warning";
            qCWarning(lcOther) << "someone else's warning";
        }
        qInstallMessageHandler(before);
        const QByteArray last =
            freshgate::test::readFile(QDir(folder).filePath(QStringLiteral("last-run.log")));
        for (const char *line :
             {" freshgate.test debug: a debug line\n", " freshgate.test info: an info line\n",
              " freshgate.test warning: a warning\n",
              " other.test warning: someone else's warning\n"}) {
            QVERIFY2(last.contains(line), last.constData());
        }
        QVERIFY(!last.contains("first run"));
        QVERIFY(freshgate::test::readFile(QDir(folder).filePath(QStringLiteral("previous-run.log")))
                    .contains(" freshgate.test info: first run\n"));
        QCOMPARE(g_passedOn, (QStringList{QStringLiteral("a warning"),
                                          QStringLiteral("someone else's warning")}));
        // Once the log is gone, the rules are as they were.
        QVERIFY(!lcTest().isInfoEnabled());
    }

    void logStopsAtItsLimit()
    {
        QTemporaryDir state;
        const QtMessageHandler before = qInstallMessageHandler(recordPassedOn);
        {
            const freshgate::LastRunLog log(state.path(), 2000);
            for (int i = 0; i < 200; ++i) {
                qCInfo(lcTest) << "line" << i;
            }
        }
        qInstallMessageHandler(before);
        const QByteArray text =
            freshgate::test::readFile(state.filePath(QStringLiteral("last-run.log")));
        QVERIFY2(text.size() <= 2100, QByteArray::number(text.size()).constData());
        QVERIFY(text.contains("line 0\n"));
        QVERIFY(text.endsWith("The log of this run stops here: it reached 2000 bytes.\n"));
    }

    // A log that cannot be written leaves the program as it was.
    void unwritableLogIsNoFailure()
    {
        QTemporaryDir state;
        const QString inTheWay = state.filePath(QStringLiteral("freshgate"));
        QVERIFY(freshgate::test::writeFile(inTheWay, "a file where the folder belongs"));
        const freshgate::LastRunLog log(inTheWay);
        QVERIFY(!log.isOpen());
        QTest::ignoreMessage(QtWarningMsg, "still logged");
        qCWarning(lcTest) << "still logged";
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
