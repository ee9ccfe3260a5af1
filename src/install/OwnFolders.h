#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>

namespace freshgate {

// The names in the work folder that are Freshgate's own while it installs: the staged members,
// the journal of each installation and the files it replaced, and what was set aside for a
// person to look at. No member may land there, no destination may lie there, and emptying the
// work folder keeps what keptNames() lists.

inline constexpr char kStagingFolder[] = "~staging";
// Journals that could not be read, finished or undone, with their backups.
inline constexpr char kKeptFolder[] = "~kept";

// One installation's journal and backup folder, numbered so that one waiting for the next start
// never stands in the way of the next installation.
struct JournalNames {
    std::filesystem::path journal;
    std::filesystem::path backup;
};

// Every journal in workFolder, oldest first: "~journal-N" with "~backup-N", and "~journal" with
// "~backup" as the release before this one named them.
[[nodiscard]] QList<JournalNames> journalsIn(const std::filesystem::path &workFolder);
// The names for a new installation's journal: the lowest number nothing uses.
[[nodiscard]] JournalNames newJournal(const std::filesystem::path &workFolder);

// Whether path lies in one of Freshgate's own places in workFolder (both absolute and clean).
[[nodiscard]] bool isOwnPath(const QString &path, const QString &workFolder);

// The names in workFolder that emptying it must leave: ~kept, and every journal with its
// backups (a journal that could not be undone waits for the next start).
[[nodiscard]] QStringList keptNames(const std::filesystem::path &workFolder);

} // namespace freshgate
