#include "platform/DurableFiles.h"

#include "platform/CrashPoint.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSet>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace freshgate {

namespace fs = std::filesystem;

namespace {

// Up to this many paths, each is flushed on its own: cheaper than flushing a whole file
// system that other programs may have filled with dirty pages.
[[maybe_unused]] constexpr std::size_t kFlushEachUpTo = 32;
// A cross-device copy grows under this name until it is whole.
constexpr char kPartSuffix[] = ".~freshgate-part";

std::error_code syncPath(const fs::path &path, bool folder)
{
#ifdef Q_OS_WIN
    // NTFS journals its folders itself; only file contents need flushing.
    if (folder) {
        return {};
    }
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {static_cast<int>(GetLastError()), std::system_category()};
    }
    const bool ok = FlushFileBuffers(handle);
    const std::error_code ec =
        ok ? std::error_code()
           : std::error_code(static_cast<int>(GetLastError()), std::system_category());
    CloseHandle(handle);
    return ec;
#else
    const int fd = ::open(path.c_str(), (folder ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {errno, std::generic_category()};
    }
    const int result = ::fsync(fd);
    const std::error_code ec =
        result == 0 ? std::error_code() : std::error_code(errno, std::generic_category());
    ::close(fd);
    return ec;
#endif
}

} // namespace

fs::path toPath(const QString &path)
{
#ifdef Q_OS_WIN
    return fs::path(path.toStdWString());
#else
    return fs::path(QFile::encodeName(path).toStdString());
#endif
}

QString fromPath(const fs::path &path)
{
#ifdef Q_OS_WIN
    return QString::fromStdWString(path.native());
#else
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
#endif
}

QString text(const std::error_code &ec)
{
    return QString::fromLocal8Bit(ec.message());
}

std::error_code syncFile(const fs::path &file)
{
    return syncPath(file, false);
}

std::error_code syncFolder(const fs::path &folder)
{
    return syncPath(folder, true);
}

std::error_code syncAll(const std::vector<fs::path> &paths, SyncKind kind)
{
#ifdef Q_OS_LINUX
    if (paths.size() > kFlushEachUpTo) {
        // syncfs writes back every dirty page and inode of the file system and flushes the
        // disk's cache; since Linux 5.8 it reports write-back errors as fsync does.
        QSet<dev_t> done;
        for (const fs::path &path : paths) {
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0) {
                return {errno, std::generic_category()};
            }
            if (done.contains(info.st_dev)) {
                continue;
            }
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0) {
                return {errno, std::generic_category()};
            }
            const int result = ::syncfs(fd);
            const int error = errno;
            ::close(fd);
            if (result != 0) {
                return {error, std::generic_category()};
            }
            done.insert(info.st_dev);
            stepDone("file system flushed");
        }
        return {};
    }
#endif
    for (const fs::path &path : paths) {
        if (const std::error_code ec =
                kind == SyncKind::Files ? syncFile(path) : syncFolder(path)) {
            return ec;
        }
        stepDone(kind == SyncKind::Files ? "file flushed" : "folder flushed");
    }
    return {};
}

std::error_code moveFile(const fs::path &from, const fs::path &to)
{
    std::error_code ec;
    if (pathExists(to)) {
        return std::make_error_code(std::errc::file_exists);
    }
    fs::rename(from, to, ec);
    if (ec != std::errc::cross_device_link) {
        return ec;
    }
    ec.clear();
    const fs::path part = withSuffix(to, kPartSuffix);
    fs::remove(part, ec);
    if (fs::is_symlink(fs::symlink_status(from, ec))) {
        fs::copy_symlink(from, part, ec);
    } else if (!ec) {
        fs::copy_file(from, part, fs::copy_options::none, ec);
    }
    if (!ec && !fs::is_symlink(fs::symlink_status(part, ec))) {
        ec = syncFile(part);
    }
    if (!ec) {
        fs::rename(part, to, ec);
    }
    if (!ec) {
        fs::remove(from, ec);
    }
    if (ec) {
        std::error_code ignored;
        fs::remove(part, ignored);
    }
    return ec;
}

std::error_code writeDurably(const fs::path &file, const QByteArray &bytes)
{
    const fs::path temporary = withSuffix(file, ".tmp");
    QFile out(fromPath(temporary));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size() ||
        !out.flush()) {
        return std::make_error_code(std::errc::io_error);
    }
    out.close();
    std::error_code ec = syncFile(temporary);
    if (ec) {
        return ec;
    }
    stepDone("temporary file flushed");
    fs::rename(temporary, file, ec);
    if (ec) {
        return ec;
    }
    stepDone("file renamed into place");
    ec = syncFolder(file.parent_path());
    if (!ec) {
        stepDone("folder flushed");
    }
    return ec;
}

bool isInside(const QString &path, const QString &folder)
{
#ifdef Q_OS_WIN
    constexpr Qt::CaseSensitivity kNameCase = Qt::CaseInsensitive;
#else
    constexpr Qt::CaseSensitivity kNameCase = Qt::CaseSensitive;
#endif
    return path.compare(folder, kNameCase) == 0 || path.startsWith(folder + u'/', kNameCase) ||
           (folder.endsWith(u'/') && path.startsWith(folder, kNameCase));
}

bool pathExists(const fs::path &path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

fs::path withSuffix(fs::path path, const char *suffix)
{
    path += suffix;
    return path;
}

fs::path partialCopyOf(const fs::path &path)
{
    return withSuffix(path, kPartSuffix);
}

} // namespace freshgate
