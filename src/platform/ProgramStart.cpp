#include "platform/ProgramStart.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#ifdef Q_OS_WIN
#include <QDir>
#include <string>
// shellapi.h needs what windows.h declares first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#endif

namespace freshgate {
namespace {

void makeExecutable(const QString &program)
{
#ifndef Q_OS_WIN
    QFile file(program);
    QFileDevice::Permissions perms = file.permissions();
    const auto before = perms;
    if (perms & QFileDevice::ReadOwner) {
        perms |= QFileDevice::ExeOwner;
    }
    if (perms & QFileDevice::ReadGroup) {
        perms |= QFileDevice::ExeGroup;
    }
    if (perms & QFileDevice::ReadOther) {
        perms |= QFileDevice::ExeOther;
    }
    if (perms != before) {
        file.setPermissions(perms);
    }
#else
    Q_UNUSED(program);
#endif
}

#ifdef Q_OS_WIN
// Through the shell, as Explorer starts a program: a set-up program whose manifest asks for
// elevation gets its consent prompt, where CreateProcess (and so QProcess) fails with
// ERROR_ELEVATION_REQUIRED. A user who declines the prompt has not started it.
Status shellStart(const QString &program, const QString &workingFolder)
{
    const std::wstring file = QDir::toNativeSeparators(program).toStdWString();
    const std::wstring folder = QDir::toNativeSeparators(workingFolder).toStdWString();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.lpDirectory = folder.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info)) {
        return {};
    }
    const DWORD error = GetLastError();
    return failure(FailureKind::Disk, QStringLiteral("%1 would not start: %2")
                                          .arg(program, qt_error_string(static_cast<int>(error))));
}
#endif

} // namespace

Status startProgram(const QString &program, const QString &workingFolder)
{
    const QFileInfo info(program);
    if (!info.isFile()) {
        return failure(FailureKind::Disk, QStringLiteral("%1 does not exist").arg(program));
    }
    makeExecutable(program);
#ifdef Q_OS_WIN
    return shellStart(info.absoluteFilePath(), workingFolder);
#else
    if (!QProcess::startDetached(info.absoluteFilePath(), {}, workingFolder)) {
        return failure(FailureKind::Disk, QStringLiteral("%1 would not start").arg(program));
    }
    return {};
#endif
}

} // namespace freshgate
