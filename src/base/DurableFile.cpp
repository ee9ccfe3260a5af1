#include "base/DurableFile.h"

#include "base/CrashPoint.h"

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
    // Some file systems cannot flush a folder at all (EINVAL); there is nothing more to do there.
    const int result = ::fsync(fd);
    const std::error_code ec = result == 0 || (folder && errno == EINVAL)
                                   ? std::error_code()
                                   : std::error_code(errno, std::generic_category());
    ::close(fd);
    return ec;
#endif
}

Status flushed(const std::error_code &ec, const fs::path &path)
{
    if (ec) {
        return fileFailure(ec, fromPath(path),
                           QStringLiteral("cannot flush \"%1\"").arg(fromPath(path)));
    }
    return {};
}

#ifdef Q_OS_LINUX
// syncfs writes back every dirty page and inode of the file system and flushes the disk's
// cache; since Linux 5.8 it reports write-back errors as fsync does.
Status syncFileSystems(const std::vector<fs::path> &paths)
{
    QSet<dev_t> done;
    for (const fs::path &path : paths) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            return flushed({errno, std::generic_category()}, path);
        }
        if (done.contains(info.st_dev)) {
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            return flushed({errno, std::generic_category()}, path);
        }
        const int result = ::syncfs(fd);
        const int error = errno;
        ::close(fd);
        if (result != 0) {
            return flushed({error, std::generic_category()}, path);
        }
        done.insert(info.st_dev);
        stepDone("file system flushed");
    }
    return {};
}
#endif

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

std::error_code flushFile(const fs::path &file)
{
    return syncPath(file, false);
}

std::error_code flushFolder(const fs::path &folder)
{
    return syncPath(folder, true);
}

Status syncFile(const fs::path &file)
{
    return flushed(flushFile(file), file);
}

Status syncFolder(const fs::path &folder)
{
    return flushed(flushFolder(folder), folder);
}

Status syncAll(const std::vector<fs::path> &files, const std::vector<fs::path> &folders)
{
#ifdef Q_OS_LINUX
    if (files.size() + folders.size() > kFlushEachUpTo) {
        return syncFileSystems(folders.empty() ? files : folders);
    }
#endif
    for (const fs::path &file : files) {
        if (const std::error_code ec = syncPath(file, false)) {
            return flushed(ec, file);
        }
        stepDone("file flushed");
    }
    for (const fs::path &folder : folders) {
        if (const std::error_code ec = syncPath(folder, true)) {
            return flushed(ec, folder);
        }
        stepDone("folder flushed");
    }
    return {};
}

namespace {

fs::path existingAncestor(fs::path path)
{
    std::error_code ec;
    path = fs::absolute(path, ec).lexically_normal();
    while (!pathExists(path) && path.has_relative_path()) {
        path = path.parent_path();
    }
    return path;
}

} // namespace

bool sameFileSystem(const fs::path &from, const fs::path &to)
{
    const fs::path a = existingAncestor(from);
    const fs::path b = existingAncestor(to);
#ifdef Q_OS_WIN
    wchar_t volumeA[MAX_PATH + 1];
    wchar_t volumeB[MAX_PATH + 1];
    if (!GetVolumePathNameW(a.c_str(), volumeA, MAX_PATH + 1) ||
        !GetVolumePathNameW(b.c_str(), volumeB, MAX_PATH + 1)) {
        return false;
    }
    return QString::fromWCharArray(volumeA).compare(QString::fromWCharArray(volumeB),
                                                    Qt::CaseInsensitive) == 0;
#else
    struct stat infoA {};
    struct stat infoB {};
    return ::stat(a.c_str(), &infoA) == 0 && ::stat(b.c_str(), &infoB) == 0 &&
           infoA.st_dev == infoB.st_dev;
#endif
}

Status writeDurably(const fs::path &file, const QByteArray &bytes)
{
    const fs::path temporary = withSuffix(file, ".tmp");
    const QString shown = fromPath(file);
    QFile out(fromPath(temporary));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size() ||
        !out.flush()) {
        // Qt tells the reason in words only; the folder's own state tells the kind.
        const QString reason = out.errorString();
        out.close();
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return fileFailure(FailureKind::Disk, shown,
                           QStringLiteral("cannot write \"%1\"").arg(shown), reason);
    }
    out.close();
    std::error_code ec;
    // The file stays as readable, or as private, as it was.
    const fs::file_status old = fs::status(file, ec);
    if (!ec && fs::exists(old)) {
        fs::permissions(temporary, old.permissions(), ec);
    }
    ec = flushFile(temporary);
    if (!ec) {
        stepDone("temporary file flushed");
        fs::rename(temporary, file, ec);
    }
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return fileFailure(ec, shown, QStringLiteral("cannot write \"%1\"").arg(shown));
    }
    stepDone("file renamed into place");
    if (Status folder = syncFolder(file.parent_path()); !folder) {
        return folder;
    }
    stepDone("folder flushed");
    return {};
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

} // namespace freshgate
