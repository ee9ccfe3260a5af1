#include "app/CommandLine.h"
#include "app/Form1.h"
#include "app/InstanceLock.h"
#include "app/LastRunLog.h"
#include "settings/SettingsStore.h"
#include "transfer/TransferRules.h"
#include "trust/Minisign.h"
#include "update/ProductFolders.h"
#include "update/RunLog.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <cstdio>
#include <windows.h>
#endif

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[0], &byte, 1);
}

// A terminal's Ctrl+C or a session's SIGTERM closes the window as its close box
// would, so a component is never left half installed.
void closeOnTerminationSignals(QWidget &window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0) {
        return;
    }
    auto *notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte = 0;
        [[maybe_unused]] const auto got = ::read(g_signalPipe[1], &byte, 1);
        window.close();
        // Also ends a message box the run may be waiting on.
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
#endif

#ifdef Q_OS_WIN
bool isFileOrPipe(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    const DWORD type =
        handle && handle != INVALID_HANDLE_VALUE ? GetFileType(handle) : FILE_TYPE_UNKNOWN;
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

// A GUI program gets no console of its own, so --help and the diagnostic log would go nowhere.
// Output sent to a file or pipe goes there; started from a console, to that console; otherwise
// Qt hands the log to OutputDebugString, where a debugger or DebugView shows it.
void useParentConsole()
{
    const bool outRedirected = isFileOrPipe(STD_OUTPUT_HANDLE);
    const bool errRedirected = isFileOrPipe(STD_ERROR_HANDLE);
    if ((!outRedirected || !errRedirected) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        FILE *reopened = nullptr;
        if (!outRedirected) {
            freopen_s(&reopened, "CONOUT$", "w", stdout);
        }
        if (!errRedirected && freopen_s(&reopened, "CONOUT$", "w", stderr) == 0) {
            qputenv("QT_FORCE_STDERR_LOGGING", "1");
        }
    }
    if (errRedirected) {
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
    }
}
#endif

// Without a display Qt would print several lines and abort; one line and exit status 1 say it
// better. The X or Wayland variables are checked first; a display that is named but cannot be
// opened is caught as Qt gives up on it.
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}
#else
bool hasDisplay()
{
    return true;
}
#endif

struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
QtMessageHandler g_logHandler = nullptr;
QList<HeldMessage> g_startupMessages;

void startupMessageHandler(QtMsgType type, const QMessageLogContext &context,
                           const QString &message)
{
    if (type != QtFatalMsg) {
        g_startupMessages.append({type, QByteArray(context.category), message});
        return;
    }
    const QString cause = g_startupMessages.isEmpty() ? message : g_startupMessages.first().text;
    std::fprintf(stderr, "freshgate: cannot open the display: %s\n", qPrintable(cause));
    std::_Exit(1);
}

// The messages held back while the window system started, for the log as usual.
void endStartup()
{
    qInstallMessageHandler(g_logHandler);
    for (const HeldMessage &held : std::as_const(g_startupMessages)) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        g_logHandler(held.type, context, held.text);
    }
    g_startupMessages.clear();
}

// The keys the build names, if any: one, or during a rotation the old and the new. A list that
// does not parse still turns checking on: every download is then refused, never accepted
// unchecked.
std::optional<QList<freshgate::minisign::PublicKey>> builtInKeys()
{
    const QString text = QStringLiteral(FRESHGATE_PUBLIC_KEY);
    if (text.trimmed().isEmpty()) {
        return std::nullopt;
    }
    freshgate::Result<QList<freshgate::minisign::PublicKey>> keys =
        freshgate::minisign::parsePublicKeys(text);
    if (keys) {
        return std::move(keys).value();
    }
    qCritical("the built-in public key is unusable (%s); every download will be refused",
              qPrintable(keys.message()));
    return QList<freshgate::minisign::PublicKey>{};
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    useParentConsole();
#endif
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    // Answered before the window system starts, so they work without a display.
    const freshgate::CommandLine commandLine = freshgate::parseCommandLine(arguments);
    switch (commandLine.action) {
    case freshgate::CommandLine::Action::ShowHelp:
        std::fputs(qPrintable(freshgate::helpText()), stdout);
        return 0;
    case freshgate::CommandLine::Action::ShowVersion:
        std::printf("Freshgate %s\n", FRESHGATE_VERSION);
        return 0;
    case freshgate::CommandLine::Action::RunUpdate:
        break;
    }
    const freshgate::LastRunLog log(freshgate::LastRunLog::defaultFolder());
    if (!hasDisplay()) {
        std::fputs("freshgate: no display to show the window on (DISPLAY is not set)\n", stderr);
        return 1;
    }

    g_logHandler = qInstallMessageHandler(startupMessageHandler);
    QApplication app(argc, argv);
    endStartup();
    QApplication::setApplicationName(QStringLiteral("Freshgate"));
    QApplication::setApplicationVersion(QStringLiteral(FRESHGATE_VERSION));

    const QString appFolder = QCoreApplication::applicationDirPath();
    freshgate::SettingsStore settings;
    const QString serverBase =
        freshgate::updateServerBase(settings, QStringLiteral(FRESHGATE_UPDATE_SERVER));
    // What a person reading the log needs first: which Freshgate, when, on what, from where.
    qCInfo(lcRun).noquote() << QStringLiteral("Freshgate %1, started %2")
                                   .arg(QLatin1String(FRESHGATE_VERSION),
                                        QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    qCInfo(lcRun).noquote() << "product folder:" << QDir::toNativeSeparators(appFolder);
    qCInfo(lcRun).noquote() << "update server:" << freshgate::maskedUrl(QUrl(serverBase));
    qCInfo(lcRun).noquote() << "settings:" << QDir::toNativeSeparators(settings.location());
    if (!commandLine.ignored.isEmpty()) {
        qCInfo(lcRun).noquote() << "arguments ignored:" << commandLine.ignored.join(u' ');
    }
    freshgate::InstanceLock lock(appFolder);
    if (!lock.acquire()) {
        return 0;
    }

    freshgate::Form1 window(settings, appFolder, serverBase);
    window.setLogPath(log.path());
    window.setTrustedKeys(builtInKeys());
#ifdef Q_OS_UNIX
    closeOnTerminationSignals(window);
#endif
    window.show();
    return QApplication::exec();
}
