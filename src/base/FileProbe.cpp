#include "base/FileProbe.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace freshgate {
namespace {

std::filesystem::path nativePath(const QString &path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

std::error_code lastError()
{
#ifdef Q_OS_WIN
    return {static_cast<int>(GetLastError()), std::system_category()};
#else
    return {errno, std::generic_category()};
#endif
}

// Creates path, which must not exist, and deletes it again.
std::error_code createAndDelete(const std::filesystem::path &path)
{
#ifdef Q_OS_WIN
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    CloseHandle(handle);
    return {};
#else
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return lastError();
    }
    ::close(fd);
    if (::unlink(path.c_str()) != 0) {
        return lastError();
    }
    return {};
#endif
}

// Opens an existing file for writing without changing a byte of it.
std::error_code openForWriting(const std::filesystem::path &path)
{
#ifdef Q_OS_WIN
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    CloseHandle(handle);
    return {};
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        return lastError();
    }
    ::close(fd);
    return {};
#endif
}

} // namespace

#ifdef FRESHGATE_FAULT_INJECTION
namespace {
constexpr char kDeniedFolderVariable[] = "FRESHGATE_TEST_DENIED_FOLDER";
} // namespace

bool keptOutByTest(const QString &folder)
{
    const QString denied = qEnvironmentVariable(kDeniedFolderVariable);
    return !denied.isEmpty() && QDir(denied) == QDir(folder);
}

void letInByTest()
{
    qunsetenv(kDeniedFolderVariable);
}
#else
bool keptOutByTest(const QString &)
{
    return false;
}
void letInByTest() {}
#endif

Status probeFolder(const QString &folder)
{
    if (keptOutByTest(folder)) {
        return fileFailure(
            FailureKind::Denied, folder,
            QStringLiteral("cannot write into \"%1\"").arg(QDir::toNativeSeparators(folder)),
            QStringLiteral("kept out by a test"));
    }
    QString existing = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo::exists(existing)) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing) {
            break;
        }
        existing = parent;
    }
    const QFileInfo info(existing);
    if (!info.isDir()) {
        return fileFailure(
            FailureKind::Disk, existing,
            QStringLiteral("\"%1\" is in the way of the folder \"%2\"")
                .arg(QDir::toNativeSeparators(existing), QDir::toNativeSeparators(folder)),
            QStringLiteral("it is not a folder"));
    }
    const QString probe = QDir(existing).filePath(
        QStringLiteral(".freshgate-probe-%1")
            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
    if (const std::error_code ec = createAndDelete(nativePath(probe))) {
        return fileFailure(
            ec, existing,
            QStringLiteral("cannot write into \"%1\"").arg(QDir::toNativeSeparators(existing)));
    }
    return {};
}

Status probeFile(const QString &file)
{
    if (Status folder = probeFolder(QFileInfo(file).absolutePath()); !folder) {
        return folder;
    }
    if (!QFileInfo::exists(file)) {
        return {};
    }
    if (const std::error_code ec = openForWriting(nativePath(file))) {
        return fileFailure(
            ec, file, QStringLiteral("cannot write \"%1\"").arg(QDir::toNativeSeparators(file)));
    }
    return {};
}

} // namespace freshgate
