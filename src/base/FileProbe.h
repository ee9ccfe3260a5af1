#pragma once

#include "base/Result.h"

#include <QString>

namespace freshgate {

// Whether this user can write into folder: a file is created in it and deleted again. A folder
// that does not exist yet is judged by the nearest folder above it that does, since that one
// must take the new folder. Best effort: a disk that fills later, a locked file or an access
// list on one file still fail when they are met. The failure is this computer's (NoSpace,
// ReadOnly, Denied or Disk) and names the folder.
[[nodiscard]] Status probeFolder(const QString &folder);

// Whether file can be replaced by this user: its folder takes a new file (as an atomic replace
// needs), and the file itself, when it exists, can be opened for writing (an immutable or
// read-only file cannot). Touches no byte of the file.
[[nodiscard]] Status probeFile(const QString &file);

// Whether a test keeps this process out of folder, as Windows keeps a standard user out of
// Program Files: builds for fault injection take the folder FRESHGATE_TEST_DENIED_FOLDER names
// (probeFolder then fails with Denied, and no lock is taken there). Under Wine one Unix user runs
// both halves of the elevated install, so nothing else can. Always false in other builds.
[[nodiscard]] bool keptOutByTest(const QString &folder);
// Lifts that for this process: the elevated step is the one the folder is not kept from.
void letInByTest();

} // namespace freshgate
