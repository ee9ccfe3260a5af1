// How Freshgate starts its elevated install step on Windows: the shell's "runas" verb with the
// hand-over's arguments, which the program started must get back exactly as given, spaces,
// quotes, backslashes and non-ASCII names included, while the caller waits for its exit status.
// Wine grants elevation without a prompt, so this proves the start, the wait and the arguments;
// the prompt itself needs Windows.
#include "app/ShellElevation.h"
#include "update/HandOver.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;

namespace {

constexpr int kEchoExit = 7;
constexpr char kEchoVariable[] = "FRESHGATE_HANDOVER_ECHO";

// What this program does when started as the elevated step: writes the arguments it got after
// the first, as a JSON list, to the file the test names, and exits with kEchoExit.
int echo(const QStringList &arguments)
{
    QFile file(qEnvironmentVariable(kEchoVariable));
    if (!file.open(QIODevice::WriteOnly)) {
        return 1;
    }
    file.write(QJsonDocument(QJsonArray::fromStringList(arguments)).toJson());
    return kEchoExit;
}

} // namespace

class TestWineHandOver : public QObject {
    Q_OBJECT

private slots:
    void argumentsArriveWhole_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("a hand-over")
            << QStringList{"0123456789abcdef0123456789abcdef",
                           "C:\\Users\\jo\\AppData\\Local\\Freshgate", "resource=12", "exe=415"};
        QTest::newRow("spaces and other scripts")
            << QStringList{"C:\\Users\\Jo Ann\\Prodüct Ørvane 更新", "data=7"};
        QTest::newRow("a backslash before the end") << QStringList{"C:\\a b\\", "help=3"};
        QTest::newRow("quotes and an empty one") << QStringList{"a\"b", "", "c\\\\\"d"};
    }

    void argumentsArriveWhole()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir dir;
        const QString echoed = dir.filePath(QStringLiteral("echo.json"));
        qputenv(kEchoVariable, echoed.toUtf8());
        ShellElevation launcher(nullptr);
        const Result<int> exit =
            launcher.runElevated(QStringList{QLatin1String(kElevatedInstallArgument)} + arguments);
        QVERIFY2(exit, qPrintable(exit.message()));
        QCOMPARE(*exit, kEchoExit);
        QFile file(echoed);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList got;
        for (const auto &value : QJsonDocument::fromJson(file.readAll()).array()) {
            got << value.toString();
        }
        QCOMPARE(got, arguments);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String(kElevatedInstallArgument)) {
        return echo(arguments.mid(2));
    }
    TestWineHandOver test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wine_handover.moc"
