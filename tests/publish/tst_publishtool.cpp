// Runs the built freshgate-publish as a process, the way a maker uses it.
#include "PublishFixture.h"
#include "support/Process.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <sys/stat.h>

using namespace freshgate::test;

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList &arguments)
{
    const ProcessRun tool = runProcess(qEnvironmentVariable("FRESHGATE_BUILD_DIR") +
                                           QStringLiteral("/freshgate-publish"),
                                       arguments);
    if (!tool.finished) {
        return Run{-1, {}, QStringLiteral("did not finish: ") + tool.error};
    }
    return Run{tool.exitCode, QString::fromLocal8Bit(tool.out), QString::fromLocal8Bit(tool.err)};
}

const QStringList kCabinets = {QStringLiteral("ov4res.cab"), QStringLiteral("ov4data.cab"),
                               QStringLiteral("ov4help.cab"), QStringLiteral("ov4exe.cab"),
                               QStringLiteral("ov4fexe.cab")};

} // namespace

class TestPublishTool : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void help_data();
    void help();
    void version_data();
    void version();
    void commandLineErrors_data();
    void commandLineErrors();
    void fullPublish();
    void publishesFromAnyFolderName_data();
    void publishesFromAnyFolderName();
    void refusals_data();
    void refusals();
    void partialUpdates_data();
    void partialUpdates();
};

void TestPublishTool::initTestCase()
{
    QVERIFY2(QFile::exists(qEnvironmentVariable("FRESHGATE_BUILD_DIR") +
                           QStringLiteral("/freshgate-publish")),
             "FRESHGATE_BUILD_DIR must name the build folder holding freshgate-publish");
}

void TestPublishTool::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("--help") << QStringList{QStringLiteral("--help")};
    QTest::newRow("-h") << QStringList{QStringLiteral("-h")};
    QTest::newRow("after other options")
        << QStringList{QStringLiteral("--out"), QStringLiteral("x"), QStringLiteral("--help")};
    QTest::newRow("before --version")
        << QStringList{QStringLiteral("--version"), QStringLiteral("--help")};
    QTest::newRow("beside a wrong option")
        << QStringList{QStringLiteral("--bogus"), QStringLiteral("-h")};
}

void TestPublishTool::help()
{
    QFETCH(QStringList, arguments);
    const Run run = runTool(arguments);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith(QStringLiteral("Usage: freshgate-publish --out DIR")));
    for (const char *option :
         {"--out", "--resource V DIR", "--data V DIR", "--helpfile V DIR", "--exe V DIR",
          "--full-exe DIR", "--full-threshold V", "--no-full-exe", "--unsigned", "--allow-older",
          "-v, --version", "Example:"}) {
        QVERIFY2(run.out.contains(QLatin1String(option)), option);
    }
    QCOMPARE(run.err, QString());
}

// Answered wherever it stands, and nothing else is done: no server root made, no option read.
void TestPublishTool::version_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")};
    QTest::newRow("-v") << QStringList{QStringLiteral("-v")};
    // A line that would publish without it: the snapshot shows nothing was.
    QTest::newRow("after a whole publishing line") << QStringList{
        QStringLiteral("--out"), QStringLiteral("{ws}/www"),  QStringLiteral("--helpfile"),
        QStringLiteral("5"),     QStringLiteral("{ws}/help"), QStringLiteral("--version")};
    QTest::newRow("before a wrong option")
        << QStringList{QStringLiteral("-v"), QStringLiteral("--out"), QStringLiteral("{ws}/www"),
                       QStringLiteral("--bogus")};
}

void TestPublishTool::version()
{
    QFETCH(QStringList, arguments);
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const auto before = snapshotTree(workspace.path(), Snapshot::WithPermissions);

    const Run run = runTool(workspace.expand(arguments));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("freshgate-publish " FRESHGATE_VERSION "\n"));
    QCOMPARE(run.err, QString());
    QCOMPARE(snapshotTree(workspace.path(), Snapshot::WithPermissions), before);
}

void TestPublishTool::commandLineErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option")
        << QStringList{QStringLiteral("--out"), QStringLiteral("{ws}/www"),
                       QStringLiteral("--bogus")}
        << QStringLiteral("unknown option --bogus");
    QTest::newRow("component without its folder")
        << QStringList{QStringLiteral("--out"), QStringLiteral("{ws}/www"),
                       QStringLiteral("--resource"), QStringLiteral("3")}
        << QStringLiteral("--resource needs a version and a folder");
    QTest::newRow("next option taken for a value")
        << QStringList{QStringLiteral("--out"),      QStringLiteral("{ws}/www"),
                       QStringLiteral("--resource"), QStringLiteral("3"),
                       QStringLiteral("--data"),     QStringLiteral("2"),
                       QStringLiteral("{ws}/data")}
        << QStringLiteral("--resource needs a version and a folder");
    QTest::newRow("no server root") << QStringList{QStringLiteral("--helpfile"),
                                                   QStringLiteral("5"), QStringLiteral("{ws}/help")}
                                    << QStringLiteral("--out is required");
    QTest::newRow("stray argument")
        << QStringList{QStringLiteral("--out"), QStringLiteral("{ws}/www"), QStringLiteral("stray")}
        << QStringLiteral("unexpected argument \"stray\"");
    QTest::newRow("option twice")
        << QStringList{QStringLiteral("--out"),      QStringLiteral("{ws}/www"),
                       QStringLiteral("--helpfile"), QStringLiteral("5"),
                       QStringLiteral("{ws}/help"),  QStringLiteral("--helpfile"),
                       QStringLiteral("6"),          QStringLiteral("{ws}/help")}
        << QStringLiteral("--helpfile is given twice");
    QTest::newRow("value for a switch")
        << QStringList{QStringLiteral("--out={ws}/www"), QStringLiteral("--no-full-exe=yes")}
        << QStringLiteral("--no-full-exe takes no value");
}

void TestPublishTool::commandLineErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const auto before = snapshotTree(workspace.path(), Snapshot::WithPermissions);

    const Run run = runTool(workspace.expand(arguments));
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.err.contains(QStringLiteral("--help")));
    QCOMPARE(run.out, QString());
    QCOMPARE(snapshotTree(workspace.path(), Snapshot::WithPermissions), before);
}

void TestPublishTool::fullPublish()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const Run run = runTool(workspace.fullArguments());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(run.err, QString());

    QCOMPARE(workspace.manifest(), QByteArray("3*2*5*420*410"));
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 6);
    for (const QString &name : kCabinets + QStringList{QStringLiteral("ov4arv.dat")}) {
        const QString path = workspace.server() + QLatin1Char('/') + name;
        QVERIFY2(lines.filter(QStringLiteral("wrote %1:").arg(path)).size() == 1, qPrintable(path));
    }
    QCOMPARE(
        QDir(workspace.server()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        (QStringList{QStringLiteral("ov4arv.dat"), QStringLiteral("ov4data.cab"),
                     QStringLiteral("ov4exe.cab"), QStringLiteral("ov4fexe.cab"),
                     QStringLiteral("ov4help.cab"), QStringLiteral("ov4res.cab")}));
    // Nothing of the run is left beside the server folder.
    QCOMPARE(
        QDir(workspace.out()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("freshgate")});

    const QStringList folders = {QStringLiteral("res"), QStringLiteral("data"),
                                 QStringLiteral("help"), QStringLiteral("exe"),
                                 QStringLiteral("full")};
    for (int i = 0; i < folders.size(); ++i) {
        const QString problem =
            verifyCabinet(workspace.server() + QLatin1Char('/') + kCabinets[i],
                          workspace.path(folders[i]), Workspace::expectedAttributes(folders[i]));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
}

// What the file system takes as a name, the tool takes as a folder and as a member: the names
// reach libgcab and the cabinet intact, and a value may start with a single "-".
void TestPublishTool::publishesFromAnyFolderName_data()
{
    QTest::addColumn<QString>("source"); // the component folder, below the workspace
    QTest::addColumn<QString>("member"); // a file below a sub-folder of it
    QTest::addColumn<quint32>("attributes");
    QTest::addColumn<QString>("out");
    QTest::newRow("non-ASCII") << QString::fromUtf8("Quellen \xc3\xbc/donn\xc3\xa9"
                                                    "es")
                               << QString::fromUtf8("dossier \xc3\xa9/fichier \xc3\xb1.dat")
                               << 0xa0u << QString::fromUtf8("serveur \xc5\xb5");
    QTest::newRow("blanks and a leading dash")
        << QStringLiteral("- my data") << QStringLiteral("sub folder/a b.dat") << 0x20u
        << QStringLiteral("my www");
}

void TestPublishTool::publishesFromAnyFolderName()
{
    QFETCH(QString, source);
    QFETCH(QString, member);
    QFETCH(quint32, attributes);
    QFETCH(QString, out);
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const QString folder = workspace.path(source);
    QVERIFY(writeFile(folder + QLatin1Char('/') + member, "deep"));
    QVERIFY(writeFile(folder + QStringLiteral("/Data1.dat"), "top"));

    const Run run = runTool({QStringLiteral("--out"), workspace.path(out), QStringLiteral("--data"),
                             QStringLiteral("2"), folder});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString cabinet = workspace.path(out) + QStringLiteral("/freshgate/ov4data.cab");
    QVERIFY2(
        run.out.contains(QStringLiteral("wrote %1: data files version 2, 2 files").arg(cabinet)),
        qPrintable(run.out));
    QString name = member;
    name.replace(QLatin1Char('/'), QLatin1Char('\\'));
    const QString problem = verifyCabinet(cabinet, folder, {{name, attributes}});
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestPublishTool::refusals_data()
{
    QTest::addColumn<QString>("prior");   // "full" or "resource": what the server holds first
    QTest::addColumn<QString>("prepare"); // "kind:path" made in the workspace before the run
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const auto helpfile = [](const QString &version, const QString &folder) {
        return QStringList{QStringLiteral("--helpfile"), version, folder};
    };
    const QString help = QStringLiteral("{ws}/help");
    QTest::newRow("version above range") << "full"
                                         << "" << helpfile(QStringLiteral("32768"), help)
                                         << QStringLiteral("\"32768\" given with --helpfile");
    QTest::newRow("version below range")
        << "full"
        << "" << helpfile(QStringLiteral("-32769"), help) << QStringLiteral("\"-32769\"");
    QTest::newRow("letters") << "full"
                             << "" << helpfile(QStringLiteral("abc"), help)
                             << QStringLiteral(
                                    "\"abc\" given with --helpfile is not a whole number");
    QTest::newRow("empty version")
        << "full"
        << "" << helpfile(QString(), help) << QStringLiteral("\"\" given with --helpfile");
    QTest::newRow("fraction") << "full"
                              << "" << helpfile(QStringLiteral("5.0"), help)
                              << QStringLiteral("\"5.0\"");
    QTest::newRow("blank around version")
        << "full"
        << "" << helpfile(QStringLiteral(" 5"), help) << QStringLiteral("\" 5\"");
    QTest::newRow("threshold out of range")
        << "full"
        << "" << QStringList{QStringLiteral("--full-threshold"), QStringLiteral("99999")}
        << QStringLiteral("\"99999\" given with --full-threshold");
    QTest::newRow("missing folder")
        << "full"
        << "" << helpfile(QStringLiteral("6"), QStringLiteral("{ws}/nowhere"))
        << QStringLiteral("nowhere does not exist");
    QTest::newRow("empty folder") << "full"
                                  << "dir:emptyhelp"
                                  << helpfile(QStringLiteral("6"), QStringLiteral("{ws}/emptyhelp"))
                                  << QStringLiteral("holds no files");
    QTest::newRow("colon in a name")
        << "full"
        << "file:help/a:b" << helpfile(QStringLiteral("6"), help)
        << QStringLiteral("a:b is a name Freshgate refuses to extract");
    QTest::newRow("backslash in a name")
        << "full"
        << "file:help/sub/x\\y" << helpfile(QStringLiteral("6"), help)
        << QStringLiteral("folder separator");
    QTest::newRow("device name") << "full"
                                 << "file:help/nul.txt" << helpfile(QStringLiteral("6"), help)
                                 << QStringLiteral("device name");
    QTest::newRow("names differing in case")
        << "full"
        << "file:help/orvane4.CHM" << helpfile(QStringLiteral("6"), help)
        << QStringLiteral("differ only in case");
    QTest::newRow("symbolic link") << "full"
                                   << "symlink:help/link.chm" << helpfile(QStringLiteral("6"), help)
                                   << QStringLiteral("link.chm is a symbolic link");
    QTest::newRow("named pipe") << "full"
                                << "fifo:help/pipe" << helpfile(QStringLiteral("6"), help)
                                << QStringLiteral("pipe is not a regular file");
    QTest::newRow("full package without setup.exe")
        << "full"
        << "file:nosetup/Setup.EXE"
        << QStringList{QStringLiteral("--exe"),        QStringLiteral("420"),
                       QStringLiteral("{ws}/exe"),     QStringLiteral("--full-exe"),
                       QStringLiteral("{ws}/nosetup"), QStringLiteral("--full-threshold"),
                       QStringLiteral("410")}
        << QStringLiteral("has no setup.exe at its top");
    QTest::newRow("setup.exe only below the top") << "full"
                                                  << "file:deepsetup/inner/setup.exe"
                                                  << QStringList{QStringLiteral("--exe"),
                                                                 QStringLiteral("420"),
                                                                 QStringLiteral("{ws}/exe"),
                                                                 QStringLiteral("--full-exe"),
                                                                 QStringLiteral("{ws}/deepsetup"),
                                                                 QStringLiteral("--full-threshold"),
                                                                 QStringLiteral("410")}
                                                  << QStringLiteral("has no setup.exe at its top");
    QTest::newRow("patch without the program")
        << "full"
        << "" << QStringList{QStringLiteral("--exe"), QStringLiteral("420"), help}
        << QStringLiteral("has no Orvane4.exe at its top");
    QTest::newRow("full package without threshold")
        << "full"
        << "" << QStringList{QStringLiteral("--full-exe"), QStringLiteral("{ws}/full")}
        << QStringLiteral("--full-exe needs --full-threshold");
    QTest::newRow("threshold without full package")
        << "resource"
        << "" << QStringList{QStringLiteral("--full-threshold"), QStringLiteral("5")}
        << QStringLiteral("--full-threshold needs a full package");
    QTest::newRow("full package without EXE version")
        << "resource"
        << ""
        << QStringList{QStringLiteral("--full-exe"), QStringLiteral("{ws}/full"),
                       QStringLiteral("--full-threshold"), QStringLiteral("410")}
        << QStringLiteral("a full package needs an EXE version");
    QTest::newRow("new EXE version beside the old full package")
        << "full"
        << ""
        << QStringList{QStringLiteral("--exe"), QStringLiteral("421"), QStringLiteral("{ws}/exe")}
        << QStringLiteral("published for EXE version 420, not 421");
    QTest::newRow("withdraw and replace at once")
        << "full"
        << ""
        << QStringList{QStringLiteral("--no-full-exe"), QStringLiteral("--full-threshold"),
                       QStringLiteral("3")}
        << QStringLiteral("cannot go with");
    QTest::newRow("foreign file in the server folder")
        << "full"
        << "file:www/freshgate/index.html" << helpfile(QStringLiteral("6"), help)
        << QStringLiteral("holds index.html");
    QTest::newRow("unsigned over signatures")
        << "full"
        << "file:www/freshgate/ov4arv.dat.minisig" << helpfile(QStringLiteral("6"), help)
        << QStringLiteral("holds signatures (ov4arv.dat.minisig), and clients that check them "
                          "would refuse an unsigned update; give --sign KEY, or --unsigned");
    QTest::newRow("unsigned with a key") << "full"
                                         << "" << QStringList{QStringLiteral("--helpfile"),
                                                              QStringLiteral("6"),
                                                              help,
                                                              QStringLiteral("--unsigned"),
                                                              QStringLiteral("--sign"),
                                                              QStringLiteral("{ws}/key.sec")}
                                         << QStringLiteral("it cannot go with --sign");
    QTest::newRow("older resource file")
        << "full"
        << ""
        << QStringList{QStringLiteral("--resource"), QStringLiteral("2"),
                       QStringLiteral("{ws}/res")}
        << QStringLiteral("--resource 2 is lower than version 3, which the server already offers, "
                          "and clients that have 3 never go back; give --allow-older to roll back "
                          "on purpose");
    QTest::newRow("older help file beside a newer data version")
        << "full"
        << "" << QStringList{QStringLiteral("--data"),    QStringLiteral("9"),
                             QStringLiteral("{ws}/data"), QStringLiteral("--helpfile"),
                             QStringLiteral("-5"),        help}
        << QStringLiteral("--helpfile -5 is lower than version 5,");
    QTest::newRow("older program patch")
        << "full"
        << ""
        << QStringList{QStringLiteral("--exe"), QStringLiteral("419"), QStringLiteral("{ws}/exe")}
        << QStringLiteral("--exe 419 is lower than version 420");
    QTest::newRow("nothing to publish")
        << "full"
        << "" << QStringList{} << QStringLiteral("nothing to publish");
}

void TestPublishTool::refusals()
{
    QFETCH(QString, prior);
    QFETCH(QString, prepare);
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    Workspace workspace;
    QVERIFY(workspace.isValid());
    const QStringList first =
        prior == QLatin1String("full")
            ? workspace.fullArguments()
            : workspace.expand({QStringLiteral("--out"), QStringLiteral("{ws}/www"),
                                QStringLiteral("--resource"), QStringLiteral("3"),
                                QStringLiteral("{ws}/res")});
    QCOMPARE(runTool(first).exitCode, 0);

    const QString kind = prepare.section(QLatin1Char(':'), 0, 0);
    const QString target = workspace.path(prepare.section(QLatin1Char(':'), 1, -1));
    if (kind == QLatin1String("file")) {
        QVERIFY(writeFile(target, "x"));
    } else if (kind == QLatin1String("dir")) {
        QVERIFY(QDir().mkpath(target));
    } else if (kind == QLatin1String("symlink")) {
        QVERIFY(QFile::link(workspace.path(QStringLiteral("help/Orvane4.chm")), target));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0644), 0);
    }

    const auto before = snapshotTree(workspace.path(), Snapshot::WithPermissions);
    const Run run = runTool(workspace.expand(
        QStringList{QStringLiteral("--out"), QStringLiteral("{ws}/www")} + arguments));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral("nothing was changed")), qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QCOMPARE(snapshotTree(workspace.path(), Snapshot::WithPermissions), before);
}

void TestPublishTool::partialUpdates_data()
{
    QTest::addColumn<bool>("firstFull");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QStringList>("unchanged"); // cabinets byte-identical to the first run's
    QTest::addColumn<QStringList>("absent");

    QTest::newRow("data files only")
        << true
        << QStringList{QStringLiteral("--data"), QStringLiteral("7"), QStringLiteral("{ws}/data2")}
        << QByteArray("3*7*5*420*410")
        << QStringList{QStringLiteral("ov4res.cab"), QStringLiteral("ov4help.cab"),
                       QStringLiteral("ov4exe.cab"), QStringLiteral("ov4fexe.cab")}
        << QStringList{};
    QTest::newRow("threshold only")
        << true << QStringList{QStringLiteral("--full-threshold"), QStringLiteral("-5")}
        << QByteArray("3*2*5*420*-5") << kCabinets << QStringList{};
    QTest::newRow("withdraw the full package")
        << true << QStringList{QStringLiteral("--no-full-exe")} << QByteArray("3*2*5*420*-32768")
        << QStringList{QStringLiteral("ov4res.cab"), QStringLiteral("ov4data.cab"),
                       QStringLiteral("ov4help.cab"), QStringLiteral("ov4exe.cab")}
        << QStringList{QStringLiteral("ov4fexe.cab")};
    QTest::newRow("same EXE version again keeps the full package")
        << true
        << QStringList{QStringLiteral("--exe"), QStringLiteral("420"),
                       QStringLiteral("{ws}/full/payload")}
        << QByteArray("3*2*5*420*410")
        << QStringList{QStringLiteral("ov4res.cab"), QStringLiteral("ov4data.cab"),
                       QStringLiteral("ov4help.cab"), QStringLiteral("ov4fexe.cab")}
        << QStringList{};
    QTest::newRow("new EXE with a new full package")
        << true << QStringList{QStringLiteral("--exe"),     QStringLiteral("430"),
                               QStringLiteral("{ws}/exe"),  QStringLiteral("--full-exe"),
                               QStringLiteral("{ws}/full"), QStringLiteral("--full-threshold=415")}
        << QByteArray("3*2*5*430*415")
        << QStringList{QStringLiteral("ov4res.cab"), QStringLiteral("ov4data.cab"),
                       QStringLiteral("ov4help.cab")}
        << QStringList{};
    QTest::newRow("roll back with --allow-older")
        << true
        << QStringList{QStringLiteral("--helpfile"), QStringLiteral("4"),
                       QStringLiteral("{ws}/help"), QStringLiteral("--allow-older")}
        << QByteArray("3*2*4*420*410")
        << QStringList{QStringLiteral("ov4res.cab"), QStringLiteral("ov4data.cab"),
                       QStringLiteral("ov4exe.cab"), QStringLiteral("ov4fexe.cab")}
        << QStringList{};
    QTest::newRow("--unsigned where nothing is signed")
        << true
        << QStringList{QStringLiteral("--data"), QStringLiteral("7"), QStringLiteral("{ws}/data2"),
                       QStringLiteral("--unsigned")}
        << QByteArray("3*7*5*420*410")
        << QStringList{QStringLiteral("ov4res.cab"), QStringLiteral("ov4help.cab"),
                       QStringLiteral("ov4exe.cab"), QStringLiteral("ov4fexe.cab")}
        << QStringList{};
    QTest::newRow("first publish of one component")
        << false
        << QStringList{QStringLiteral("--helpfile"), QStringLiteral("5"),
                       QStringLiteral("{ws}/help")}
        << QByteArray("0*0*5*0*-32768") << QStringList{}
        << QStringList{QStringLiteral("ov4res.cab"), QStringLiteral("ov4data.cab"),
                       QStringLiteral("ov4exe.cab"), QStringLiteral("ov4fexe.cab")};
}

void TestPublishTool::partialUpdates()
{
    QFETCH(bool, firstFull);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, manifest);
    QFETCH(QStringList, unchanged);
    QFETCH(QStringList, absent);

    Workspace workspace;
    QVERIFY(workspace.isValid());
    QMap<QString, QByteArray> first;
    if (firstFull) {
        QCOMPARE(runTool(workspace.fullArguments()).exitCode, 0);
        first = fileContents(workspace.server());
    }

    const Run run = runTool(workspace.expand(
        QStringList{QStringLiteral("--out"), QStringLiteral("{ws}/www")} + arguments));
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(workspace.manifest(), manifest);
    for (const QString &cabinet : unchanged) {
        QVERIFY2(first.contains(cabinet), qPrintable(cabinet));
        QVERIFY2(readFile(workspace.server() + QLatin1Char('/') + cabinet) == first.value(cabinet),
                 qPrintable(cabinet));
        QVERIFY2(run.out.contains(QStringLiteral("kept %1/%2").arg(workspace.server(), cabinet)),
                 qPrintable(run.out));
    }
    QCOMPARE(
        QDir(workspace.out()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("freshgate")});
    for (const QString &cabinet : absent) {
        QVERIFY2(!QFile::exists(workspace.server() + QLatin1Char('/') + cabinet),
                 qPrintable(cabinet));
    }
    const QString problem = firstFull && arguments.first() == QLatin1String("--data")
                                ? verifyCabinet(workspace.server() + QStringLiteral("/ov4data.cab"),
                                                workspace.path(QStringLiteral("data2")), {})
                                : QString();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

QTEST_GUILESS_MAIN(TestPublishTool)
#include "tst_publishtool.moc"
