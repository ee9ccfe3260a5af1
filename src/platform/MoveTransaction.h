#pragma once

#include <QSet>
#include <QString>
#include <filesystem>
#include <system_error>
#include <vector>

namespace freshgate {

// Paths for std::filesystem from Qt's and back, in the file system's encoding.
[[nodiscard]] std::filesystem::path toPath(const QString &path);
[[nodiscard]] QString fromPath(const std::filesystem::path &path);
[[nodiscard]] QString text(const std::error_code &ec);

// Renames where it can; across file systems it copies and then drops the source. The
// target must not exist.
[[nodiscard]] std::error_code moveFile(const std::filesystem::path &from,
                                       const std::filesystem::path &to);

// Moves checked files into a destination folder. Every change is journaled, and the files it
// replaces wait in the backup folder, so rollback() can put the destination back as it was.
// Used on one thread; errors come back as text for the diagnostic log.
class MoveTransaction {
public:
    MoveTransaction(std::filesystem::path destination, std::filesystem::path backupFolder);

    // The destination and any missing folders above it.
    [[nodiscard]] bool openDestination(QString *error);
    // Takes away the file at rel (relative to the destination); a missing one is fine.
    [[nodiscard]] bool remove(const QString &rel, QString *error);
    // Moves from into the destination at rel, replacing a file of that name.
    [[nodiscard]] bool moveIn(const std::filesystem::path &from, const QString &rel,
                              QString *error);
    // Undoes every step, newest first. Returns false, and says what in *problems, when
    // something could not be undone; old files not restored then stay in the backup folder.
    [[nodiscard]] bool rollback(QString *problems);

private:
    struct Step {
        enum Kind { CreatedFolder, BackedUp, MovedIn } kind;
        std::filesystem::path path;
        std::filesystem::path kept;
        QString rel;
    };

    [[nodiscard]] bool makeParents(const QString &rel, QString *error);
    // Moves an existing file (or link) at target into the backup folder.
    [[nodiscard]] bool clear(const std::filesystem::path &target, const QString &rel,
                             QString *error);

    std::filesystem::path m_destination;
    std::filesystem::path m_backupFolder;
    bool m_backupReady = false;
    QSet<QString> m_knownFolders;
    std::vector<Step> m_journal;
};

} // namespace freshgate
