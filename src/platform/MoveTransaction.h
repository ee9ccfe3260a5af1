#pragma once

#include "platform/DurableFiles.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>
#include <vector>

namespace freshgate {

// What the work folder holds for a transaction.
inline constexpr char kStagingFolder[] = "~staging";
inline constexpr char kBackupFolder[] = "~backup";
inline constexpr char kJournalFile[] = "~journal";
// Journals that could not be read, and their backups, set aside for a person to look at.
inline constexpr char kKeptFolder[] = "~kept";

// What recovery found and did at start-up.
enum class Recovery {
    Nothing,       // no journal: the last installation ended properly
    RolledForward, // its moves were on disk: its note was applied, the journal retired
    RolledBack,    // it had not committed: every file it moved is back as it was
    Pending,       // something failed: the journal and its backups stay for the next start
    SetAside,      // the journal could not be read: it and its backups went to ~kept
};

// Moves staged files into a destination folder the way a database commits: every step is
// planned and written to a journal on disk (flushed with its folder) before the first
// move; the files it replaces wait in the backup folder; after the moves the touched folders
// are flushed and the journal marked committed; only then may the caller record what was
// installed, and only after that are the journal and the backups retired. A crash at any
// point leaves what recover() needs to roll the destination forward or back.
// Used on one thread; errors come back as text for the diagnostic log.
class MoveTransaction {
public:
    // A staged file (by its name in the staging folder) and where it goes below the
    // destination ("/"-separated, already checked by safeMemberPath()).
    struct Move {
        QString staged;
        QString rel;
    };

    // Staging, backup and journal live in workFolder.
    MoveTransaction(const std::filesystem::path &workFolder,
                    const std::filesystem::path &destination);

    // Works out every step: the folders to create, the files replaced or removed, and that
    // no target lies behind a symbolic link that leads out of the destination (a link to a
    // folder inside it is followed). A name that occurs twice keeps its last move; a removal
    // of a file that a move replaces is left to the move. Touches nothing.
    [[nodiscard]] bool plan(const std::vector<Move> &moves, const QStringList &removals,
                            QString *error);
    // Writes the journal, with the caller's opaque note, and flushes it before anything moves.
    [[nodiscard]] bool begin(const QString &note, QString *error);
    // Does the planned steps and flushes the folders they touched. After a failure, call
    // rollback().
    [[nodiscard]] bool apply(QString *error);
    // Marks the journal committed: from here on a crash rolls forward.
    [[nodiscard]] bool commit(QString *error);
    // Deletes the journal, then the backups and the staged leftovers.
    [[nodiscard]] bool retire(QString *error);
    // Puts back every file the disk shows was moved, newest first, removes the folders it
    // made, flushes and retires. Returns false, and says what in *problems, when something
    // could not be undone; the journal and the backups then stay for the next start.
    [[nodiscard]] bool rollback(QString *problems);

    // At start-up: finishes or undoes the installation whose journal is in workFolder.
    // A committed one rolls forward: record(note) must record what it installed (it is not
    // called for an empty note). One without the mark is rolled back. *detail says what
    // happened, for the log.
    [[nodiscard]] static Recovery recover(const std::filesystem::path &workFolder,
                                          const std::function<bool(const QString &)> &record,
                                          QString *detail);
    // The names in workFolder that emptying it must leave: ~kept, and a journal still
    // pending with its backups.
    [[nodiscard]] static QStringList keptNames(const std::filesystem::path &workFolder);

private:
    struct Entry {
        QString staged; // empty: a removal
        QString rel;    // below the real destination
        bool existed = false;
    };
    struct Folder {
        std::filesystem::path real;
        bool missing = false;
    };

    MoveTransaction() = default;
    [[nodiscard]] std::optional<Folder> resolve(const QString &relFolder, QString *error);
    [[nodiscard]] bool ours(const std::filesystem::path &real) const;
    [[nodiscard]] std::filesystem::path target(const Entry &entry) const;
    [[nodiscard]] std::filesystem::path backup(std::size_t index) const;
    [[nodiscard]] bool syncTouchedFolders(QString *error) const;
    [[nodiscard]] QByteArray serialize() const;
    [[nodiscard]] bool parse(const QByteArray &bytes, bool *committed);
    void setPaths(const std::filesystem::path &workFolder);

    std::filesystem::path m_work;
    std::filesystem::path m_staging;
    std::filesystem::path m_backup;
    std::filesystem::path m_journal;
    std::filesystem::path m_destination; // real: no links in it
    QString m_note;
    std::vector<std::filesystem::path> m_folders; // to create, in order
    std::vector<Entry> m_entries;                 // in the order they are done
    QHash<QString, Folder> m_resolved;
};

} // namespace freshgate
