// The command line, parsed as a table and then answered by the real program: each answer comes
// before the window system starts, so none needs a display, and none touches the folder.
#include "app/CommandLine.h"
#include "support/AppFolder.h"
#include "support/Process.h"

#include <QDir>
#include <QFile>
#include <QTest>

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
        QTest::newRow("none runs the update") << QStringList{} << Action::RunUpdate;
        QTest::newRow("help") << QStringList{"--help"} << Action::ShowHelp;
        QTest::newRow("short help") << QStringList{"-h"} << Action::ShowHelp;
        QTest::newRow("version") << QStringList{"--version"} << Action::ShowVersion;
        QTest::newRow("help wins over version")
            << QStringList{"--version", "--help"} << Action::ShowHelp;
        QTest::newRow("unknown option") << QStringList{"--server=x"} << Action::Refuse;
        QTest::newRow("a word") << QStringList{"update"} << Action::Refuse;
        QTest::newRow("unknown after a good one")
            << QStringList{"--version", "--bogus"} << Action::Refuse;
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Action, action);
        const CommandLine line = parseCommandLine(arguments);
        QCOMPARE(line.action, action);
        QCOMPARE(line.problem.isEmpty(), action != Action::Refuse);
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
        QTest::newRow("unknown option") << QStringList{"--bogus"} << QString() << 2 << QByteArray()
                                        << QByteArray("freshgate: unknown option --bogus\n"
                                                      "Usage: freshgate [--help | --version]\n");
        QTest::newRow("no display") << QStringList{} << QString() << 1 << QByteArray()
                                    << QByteArray("freshgate: no display to show the window "
                                                  "on (DISPLAY is not set)\n");
        QTest::newRow("a display nobody serves")
            << QStringList{} << QStringLiteral(":97") << 1 << QByteArray()
            << QByteArray("freshgate: cannot open the display: could not connect to display :97\n");
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
        const ProcessRun run = runProcess(program, arguments,
                                          ProcessOptions().withEnvironment(env).withTimeout(20000));
        QVERIFY2(run.finished, qPrintable(run.error));
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.out.startsWith(stdoutStart), run.out.constData());
        QCOMPARE(run.err, stderrText);
        QCOMPARE(app.snapshot(), before);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
