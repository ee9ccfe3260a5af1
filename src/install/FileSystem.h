#pragma once

#include "base/Result.h"

#include <filesystem>
#include <system_error>

namespace freshgate {

// The few file operations an installation changes the disk with, behind one seam: the real file
// system by default, and in tests a double that fails the Nth of them, as a read-only mount, a
// locked file or a full disk would. Each gives the system's own error. Not thread-safe.
class FileSystem {
public:
    FileSystem() = default;
    virtual ~FileSystem() = default;
    FileSystem(const FileSystem &) = delete;
    FileSystem &operator=(const FileSystem &) = delete;

    // Renames from to to, replacing a file at to in one step (MoveFileEx on Windows); a folder
    // moves whole, to a name nothing has. Fails with errc::cross_device_link across file systems.
    [[nodiscard]] virtual std::error_code rename(const std::filesystem::path &from,
                                                 const std::filesystem::path &to);
    // A second name for a file (a hard link).
    [[nodiscard]] virtual std::error_code link(const std::filesystem::path &existing,
                                               const std::filesystem::path &newName);
    // Removes a file, a link or an empty folder.
    [[nodiscard]] virtual std::error_code remove(const std::filesystem::path &path);
    [[nodiscard]] virtual std::error_code createFolder(const std::filesystem::path &path);
    // Copies a file (or a link, as a link) to a new name and flushes the copy.
    [[nodiscard]] virtual std::error_code copy(const std::filesystem::path &from,
                                               const std::filesystem::path &to);

    // The machine's own file system.
    [[nodiscard]] static FileSystem &real();
};

// Moves from to to, replacing what is at to in one step. Across file systems it copies to
// partialCopyOf(to), flushes, renames that into place and then drops from, so to is never seen
// half written.
[[nodiscard]] std::error_code moveReplacing(FileSystem &files, const std::filesystem::path &from,
                                            const std::filesystem::path &to);
// Keeps what is at path under keep as well, leaving path in place: a hard link where the file
// system has them, else a flushed copy.
[[nodiscard]] std::error_code keepCopy(FileSystem &files, const std::filesystem::path &path,
                                       const std::filesystem::path &keep);
// Where moveReplacing() grows a copy across file systems; a crash may leave it behind.
[[nodiscard]] std::filesystem::path partialCopyOf(const std::filesystem::path &path);

} // namespace freshgate
