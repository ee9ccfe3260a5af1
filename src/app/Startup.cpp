#include "app/Startup.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace freshgate {
namespace {

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

#ifdef Q_OS_UNIX
int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[0], &byte, 1);
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
#endif

} // namespace

void useParentConsole()
{
#ifdef Q_OS_WIN
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
#endif
}

bool hasDisplay()
{
    // Without a display Qt would print several lines and abort; one line and exit status 1 say
    // it better. A display that is named but cannot be opened is caught as Qt gives up on it.
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

void beginStartup()
{
    g_logHandler = qInstallMessageHandler(startupMessageHandler);
}

void endStartup()
{
    qInstallMessageHandler(g_logHandler);
    for (const HeldMessage &held : std::as_const(g_startupMessages)) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        g_logHandler(held.type, context, held.text);
    }
    g_startupMessages.clear();
}

void closeOnTerminationSignals([[maybe_unused]] QWidget &window)
{
#ifdef Q_OS_UNIX
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
#endif
}

} // namespace freshgate
