#pragma once

#include "base/Result.h"

#include <QByteArray>
#include <QString>
#include <filesystem>
#include <system_error>
#include <vector>

// The file operations a durable write is made of, each one either done and on disk or not done:
// what a crash may interrupt only between them. Shared by the install's journal and by the
// settings file, which both must survive a crash whole.
namespace freshgate {

// Paths for std::filesystem from Qt's and back, in the file system's encoding.
[[nodiscard]] std::filesystem::path toPath(const QString &path);
[[nodiscard]] QString fromPath(const std::filesystem::path &path);

// Whether path is folder or lies below it, both absolute, clean and "/"-separated; names
// compare as the platform's file system compares them (without case on Windows).
[[nodiscard]] bool isInside(const QString &path, const QString &folder);

// Whether anything (a file, a folder, a link even to nothing) is at path.
[[nodiscard]] bool pathExists(const std::filesystem::path &path);
[[nodiscard]] std::filesystem::path withSuffix(std::filesystem::path path, const char *suffix);

// Flushes a file's contents, or a folder's entries, to the disk (the system's error, for
// callers in the same layer that add the context themselves).
[[nodiscard]] std::error_code flushFile(const std::filesystem::path &file);
[[nodiscard]] std::error_code flushFolder(const std::filesystem::path &folder);

// The same, as this computer's failure naming the path.
[[nodiscard]] Status syncFile(const std::filesystem::path &file);
[[nodiscard]] Status syncFolder(const std::filesystem::path &folder);
// Flushes many files' contents and folders' entries together, once all of them are written, so
// the disk sees one batch. Beyond a few dozen paths, where the system offers it (Linux syncfs),
// one flush of each file system the folders are on replaces one per path: 20,000 flushes cost
// minutes on some disks. Every file lies in one of the folders, unless no folder is given.
// Each flush is a step for the crash seam.
[[nodiscard]] Status syncAll(const std::vector<std::filesystem::path> &files,
                             const std::vector<std::filesystem::path> &folders);

// Whether a rename can take what is at from to to's folder: both on one file system, as far
// as the system tells (an existing ancestor of each is asked). False when it cannot tell.
[[nodiscard]] bool sameFileSystem(const std::filesystem::path &from,
                                  const std::filesystem::path &to);

// Replaces file with bytes through a flushed temporary file and a rename, then flushes the
// folder: a crash leaves the old file or the new one, never a mix. The failure names file.
[[nodiscard]] Status writeDurably(const std::filesystem::path &file, const QByteArray &bytes);

} // namespace freshgate
