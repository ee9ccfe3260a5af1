#include "app/ShellElevation.h"

#include <QCoreApplication>
#include <QDir>
#include <QWidget>

#ifdef Q_OS_WIN
#include <windows.h>
// shellapi.h needs what windows.h declares.
#include <shellapi.h>
#include <string>
#endif

namespace freshgate {
namespace {

#ifdef Q_OS_WIN
constexpr DWORD kPollMs = 50;

// Waits for process while the window repaints and its close box stays live; the elevated step
// is never cut short, since only it can finish or undo what it started.
int waitFor(HANDLE process)
{
    while (WaitForSingleObject(process, kPollMs) == WAIT_TIMEOUT) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, static_cast<int>(kPollMs));
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        code = static_cast<DWORD>(HandOverExit::Refused);
    }
    CloseHandle(process);
    return static_cast<int>(code);
}
#endif

} // namespace

Result<int> ShellElevation::runElevated(const QStringList &arguments)
{
#ifdef Q_OS_WIN
    const std::wstring program =
        QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdWString();
    const std::wstring parameters = windowsCommandLine(arguments).toStdWString();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.hwnd = m_owner ? reinterpret_cast<HWND>(m_owner->winId()) : nullptr;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) {
        const DWORD error = GetLastError();
        const std::error_code ec(static_cast<int>(error), std::system_category());
        return failure(FailureKind::ElevationDeclined,
                       error == ERROR_CANCELLED
                           ? QStringLiteral("the request for elevation was declined")
                           : QStringLiteral("Windows did not start the elevated install step: %1")
                                 .arg(errorText(ec)));
    }
    if (!info.hProcess) {
        return failure(FailureKind::ElevationDeclined,
                       QStringLiteral("Windows gave no process for the elevated install step"));
    }
    return waitFor(info.hProcess);
#else
    Q_UNUSED(arguments);
    return failure(FailureKind::ElevationDeclined,
                   QStringLiteral("this system has no elevation prompt"));
#endif
}

std::unique_ptr<ElevatedLauncher> platformElevation([[maybe_unused]] QWidget *owner)
{
#ifdef Q_OS_WIN
    return std::make_unique<ShellElevation>(owner);
#else
    return nullptr;
#endif
}

} // namespace freshgate
