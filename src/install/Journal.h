#pragma once

#include "base/Result.h"
#include "install/OwnFolders.h"
#include "install/VersionRecord.h"

#include <QByteArray>
#include <QString>
#include <filesystem>
#include <optional>
#include <vector>

namespace freshgate {

// One file an installation changes, below its destination, or one folder new to it that
// comes in whole, files and sub-folders, in a single rename.
struct JournalEntry {
    QString staged; // the staged file's (or folder's) name; empty: the file is only removed
    QString rel;    // "/"-separated, below the real destination (no links in between); a
                    // folder's may be empty: the destination itself
    bool existed = false;
    bool folder = false;
};

// The plan of one installation as it is kept on disk: written and flushed before the first
// move, marked committed once every move is on disk, and read back by recovery after a crash.
// The first line is the plan as compact JSON, the commit mark a line of its own after it, so a
// mark cut short by a crash reads as no mark.
struct Journal {
    JournalNames names;
    std::filesystem::path work;
    std::filesystem::path destination; // real: no links in it
    std::optional<VersionRecord> record;
    std::vector<std::filesystem::path> folders; // created, in order
    std::vector<JournalEntry> entries;          // in the order they are done
    bool committed = false;

    [[nodiscard]] std::filesystem::path target(const JournalEntry &entry) const;
    [[nodiscard]] std::filesystem::path backup(std::size_t index) const;

    // Writes the plan durably (no commit mark).
    [[nodiscard]] Status write() const;
    // Appends the commit mark and flushes it: from here on a crash rolls forward.
    [[nodiscard]] Status markCommitted();
    // Writes the plan again without the mark, durably, so that an undo after the commit is
    // never rolled forward by a crash in the middle of it.
    [[nodiscard]] Status takeBackCommit();
    // Deletes the journal file and flushes the work folder.
    [[nodiscard]] Status remove() const;

    // The journal at names, or why it cannot be used (kind Disk): unreadable, cut short, of an
    // unknown format, or naming a path that climbs out of its destination. Earlier releases
    // wrote format 1, whose version is a "key=version" note, and format 2, which has no folder
    // entries; both read as well.
    [[nodiscard]] static Result<Journal> read(const JournalNames &names);
};

} // namespace freshgate
