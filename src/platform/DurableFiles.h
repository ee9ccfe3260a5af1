#pragma once

#include <QByteArray>
#include <QString>
#include <filesystem>
#include <system_error>
#include <vector>

// The file operations an installation is made of, each one either done and on disk or not
// done: what a crash may interrupt only between them.
namespace freshgate {

// Paths for std::filesystem from Qt's and back, in the file system's encoding.
[[nodiscard]] std::filesystem::path toPath(const QString &path);
[[nodiscard]] QString fromPath(const std::filesystem::path &path);
[[nodiscard]] QString text(const std::error_code &ec);

// Whether path is folder or lies below it, both absolute, clean and "/"-separated; names
// compare as the platform's file system compares them (without case on Windows).
[[nodiscard]] bool isInside(const QString &path, const QString &folder);

// Whether anything (a file, a folder, a link even to nothing) is at path.
[[nodiscard]] bool pathExists(const std::filesystem::path &path);
[[nodiscard]] std::filesystem::path withSuffix(std::filesystem::path path, const char *suffix);

// Flushes a file's contents, or a folder's entries, to the disk.
[[nodiscard]] std::error_code syncFile(const std::filesystem::path &file);
[[nodiscard]] std::error_code syncFolder(const std::filesystem::path &folder);
// Flushes many files or folders. Beyond a few dozen, where the system offers it (Linux
// syncfs), one flush of each file system they are on replaces one per path: 20,000 flushes
// cost minutes on some disks. Each flush is a step for the crash seam.
enum class SyncKind { Files, Folders };
[[nodiscard]] std::error_code syncAll(const std::vector<std::filesystem::path> &paths,
                                      SyncKind kind);

// Renames where it can; across file systems it copies to partialCopyOf(to), flushes, renames
// that into place and then drops the source, so the target is never seen half written. The
// target must not exist.
[[nodiscard]] std::error_code moveFile(const std::filesystem::path &from,
                                       const std::filesystem::path &to);
// Where moveFile() grows a copy across file systems; a crash may leave it behind.
[[nodiscard]] std::filesystem::path partialCopyOf(const std::filesystem::path &path);

// Replaces file with bytes through a flushed temporary file and a rename, then flushes the
// folder: a crash leaves the old file or the new one, never a mix.
[[nodiscard]] std::error_code writeDurably(const std::filesystem::path &file,
                                           const QByteArray &bytes);

} // namespace freshgate
