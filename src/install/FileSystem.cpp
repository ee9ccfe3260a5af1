#include "install/FileSystem.h"

#include "base/DurableFile.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace freshgate {

namespace fs = std::filesystem;

namespace {

// A cross-device copy grows under this name until it is whole.
constexpr char kPartSuffix[] = ".~freshgate-part";

} // namespace

std::error_code FileSystem::rename(const fs::path &from, const fs::path &to)
{
#ifdef Q_OS_WIN
    // Without MOVEFILE_COPY_ALLOWED a move across volumes fails, as a rename does elsewhere.
    // Replacing is for files only: a folder moves to a name nothing has.
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    const DWORD attributes = GetFileAttributesW(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        flags |= MOVEFILE_REPLACE_EXISTING;
    }
    if (!MoveFileExW(from.c_str(), to.c_str(), flags)) {
        const DWORD error = GetLastError();
        if (error == ERROR_NOT_SAME_DEVICE) {
            return std::make_error_code(std::errc::cross_device_link);
        }
        return {static_cast<int>(error), std::system_category()};
    }
    return {};
#else
    std::error_code ec;
    fs::rename(from, to, ec);
    return ec;
#endif
}

std::error_code FileSystem::link(const fs::path &existing, const fs::path &newName)
{
    std::error_code ec;
    fs::create_hard_link(existing, newName, ec);
    return ec;
}

std::error_code FileSystem::remove(const fs::path &path)
{
    std::error_code ec;
    fs::remove(path, ec);
    return ec;
}

std::error_code FileSystem::createFolder(const fs::path &path)
{
    std::error_code ec;
    fs::create_directory(path, ec);
    return ec;
}

std::error_code FileSystem::copy(const fs::path &from, const fs::path &to)
{
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(from, ec))) {
        fs::copy_symlink(from, to, ec);
        return ec;
    }
    fs::copy_file(from, to, fs::copy_options::none, ec);
    if (!ec) {
        ec = flushFile(to);
    }
    return ec;
}

FileSystem &FileSystem::real()
{
    static FileSystem system;
    return system;
}

fs::path partialCopyOf(const fs::path &path)
{
    return withSuffix(path, kPartSuffix);
}

std::error_code moveReplacing(FileSystem &files, const fs::path &from, const fs::path &to)
{
    std::error_code ec = files.rename(from, to);
    if (ec != std::errc::cross_device_link) {
        return ec;
    }
    const fs::path part = partialCopyOf(to);
    (void)files.remove(part);
    ec = files.copy(from, part);
    if (!ec) {
        ec = files.rename(part, to);
    }
    if (!ec) {
        ec = files.remove(from);
    }
    if (ec) {
        (void)files.remove(part);
    }
    return ec;
}

std::error_code keepCopy(FileSystem &files, const fs::path &path, const fs::path &keep)
{
    const std::error_code linked = files.link(path, keep);
    if (!linked) {
        return {};
    }
    // File systems without hard links (FAT, some shares) get a copy instead.
    (void)files.remove(keep);
    return files.copy(path, keep);
}

} // namespace freshgate
