#include "app/Form1.h"
#include "app/InstanceLock.h"
#include "settings/SettingsStore.h"
#include "trust/Minisign.h"
#include "update/Components.h"

#include <QApplication>

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
// A GUI program gets no console of its own, so the diagnostic log would go nowhere. With
// standard error sent to a file or pipe it goes there; started from a console, to that console;
// otherwise Qt hands it to OutputDebugString, where a debugger or DebugView shows it.
void routeDiagnosticLog()
{
    const HANDLE stderrHandle = GetStdHandle(STD_ERROR_HANDLE);
    const DWORD type = stderrHandle && stderrHandle != INVALID_HANDLE_VALUE
                           ? GetFileType(stderrHandle)
                           : FILE_TYPE_UNKNOWN;
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        FILE *reopened = nullptr;
        if (freopen_s(&reopened, "CONOUT$", "w", stderr) == 0) {
            qputenv("QT_FORCE_STDERR_LOGGING", "1");
        }
    }
}
#endif

// The key the build names, if any. A key that does not parse still turns
// checking on: every download is then refused, never accepted unchecked.
std::optional<freshgate::minisign::PublicKey> builtInKey()
{
    const QString text = QStringLiteral(FRESHGATE_PUBLIC_KEY);
    if (text.isEmpty()) {
        return std::nullopt;
    }
    QString why;
    if (auto key = freshgate::minisign::parsePublicKey(text, &why)) {
        return key;
    }
    qCritical("the built-in public key is unusable (%s); every download will be refused",
              qPrintable(why));
    return freshgate::minisign::PublicKey{};
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    routeDiagnosticLog();
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Freshgate"));
    QApplication::setApplicationVersion(QStringLiteral(FRESHGATE_VERSION));

    const QString appFolder = QCoreApplication::applicationDirPath();
    freshgate::InstanceLock lock(appFolder);
    if (!lock.acquire()) {
        return 0;
    }

    freshgate::SettingsStore settings;
    freshgate::Form1 window(
        settings, appFolder,
        freshgate::updateServerBase(settings, QStringLiteral(FRESHGATE_UPDATE_SERVER)));
    window.setTrustedKey(builtInKey());
#ifdef Q_OS_UNIX
    closeOnTerminationSignals(window);
#endif
    window.show();
    return QApplication::exec();
}
