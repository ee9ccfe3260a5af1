#pragma once

#include "install/FileSystem.h"
#include "install/Journal.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace freshgate {

// Moves staged files into a destination folder the way a database commits: every step is
// planned and written to a journal on disk (flushed) before the first move; a file it replaces
// is first kept in the journal's backup folder (a second name for it, so the destination never
// lacks it) and then the new one is renamed over it; a folder the destination lacks comes in
// whole, by one rename of its staged counterpart, where the staging folder holds exactly its
// files under their own names on the same file system. After the moves the new files and the
// touched folders are flushed together, once, and the journal marked committed: until the mark
// the undo needs none of the new bytes. Only then may the caller record the version, and
// only after that are the journal and the backups retired. A failure before the commit undoes
// exactly what was done, at once; a crash at any point leaves what recovery needs to roll the
// destination forward or back. One thread; the failures name what failed and where.
class Transaction {
public:
    // A staged file (by its name in the staging folder) and where it goes below the
    // destination ("/"-separated, already checked by safeMemberPath()).
    struct Move {
        QString staged;
        QString rel;
    };

    // The staging folder, the journal and its backups live in workFolder.
    Transaction(const std::filesystem::path &workFolder, const std::filesystem::path &destination,
                FileSystem &files = FileSystem::real());

    // Works out every step: the folders to create, the files replaced or removed, and that no
    // target lies behind a symbolic link that leads out of the destination (a link to a folder
    // inside it is followed). A name that occurs twice keeps its last move; a removal of a file
    // that a move replaces is left to the move. Touches nothing.
    [[nodiscard]] Status plan(const std::vector<Move> &moves, const QStringList &removals);
    // Whether the destination's folders can take the files, as far as that is cheap to know
    // (each existing folder takes a new file), so that a folder nobody may write fails before
    // anything is moved. Touches nothing that stays.
    [[nodiscard]] Status check() const;
    // Writes the journal, with the version to record, before anything moves.
    [[nodiscard]] Status begin(std::optional<VersionRecord> record);
    // Does the planned steps, then flushes the new files and the folders the steps touched in
    // one batch. After a failure, call rollback().
    [[nodiscard]] Status apply();
    [[nodiscard]] Status commit();
    // Deletes the journal, then the backups and the staged leftovers.
    void retire();
    // Undoes what apply() did, newest first (taking a commit mark back first), removes the
    // folders it made and retires. On failure the journal stays for recovery at the next start,
    // and the failure says what could not be undone.
    [[nodiscard]] Status rollback();

    [[nodiscard]] const Journal &journal() const { return m_journal; }

private:
    // Whether a folder's files would land in Freshgate's own places: none, all, or those whose
    // names are (the work folder itself).
    enum class Own { None, All, ByName };
    struct Folder {
        std::filesystem::path real;
        bool missing = false;
        std::filesystem::path relative; // real, below the destination
        Own own = Own::None;
        // The two paths as text, each with a separator to put a file's name after.
        QString realText;
        QString relativeText;
        // Of a folder the destination lacks: the highest such folder it is in, by its index
        // in m_tops; else -1.
        qsizetype top = -1;
    };
    // A highest folder the destination lacks, and what is planned for it.
    struct Top {
        std::filesystem::path folder;
        std::size_t files = 0;
        bool fits = true; // each file staged under its own name, none in our own folders
        bool whole = false;
    };
    // What apply() got done of an entry, so an undo touches nothing that was not.
    enum class Done { Nothing, Kept, Placed };

    [[nodiscard]] Result<Folder> resolve(const QString &relFolder);
    [[nodiscard]] Result<Folder> resolveRoot();
    [[nodiscard]] Result<const Folder *> folderOf(const QString &rel);
    [[nodiscard]] qsizetype newTop(const std::filesystem::path &folder);
    [[nodiscard]] bool comesInWhole(qsizetype top) const;
    [[nodiscard]] Status add(const QString &staged, const QString &rel,
                             QHash<QString, std::size_t> &byTarget);
    [[nodiscard]] bool ours(const std::filesystem::path &real) const;
    void describe(Folder &folder) const;
    [[nodiscard]] Status applyEntry(std::size_t index);
    [[nodiscard]] Status placeFolderByFiles(const std::filesystem::path &from,
                                            const std::filesystem::path &to, std::size_t index);
    [[nodiscard]] Status undoEntry(std::size_t index);
    [[nodiscard]] Status syncTouched(bool withFiles) const;
    void findWholeFolders(const std::vector<Move> &moves);
    void listFlushes();
    void keepWholeFolders();
    [[nodiscard]] bool stagedHoldsOnly(const std::filesystem::path &folder,
                                       std::size_t files) const;

    FileSystem &m_files;
    Journal m_journal;
    std::filesystem::path m_staging;
    QHash<QString, Folder> m_resolved;
    std::vector<Done> m_done;
    std::size_t m_foldersMade = 0;
    // What the moves touch: every new file and the folder each one lands in.
    std::vector<std::filesystem::path> m_flushFiles;
    std::vector<std::filesystem::path> m_flushFolders;
    // Beside each journal entry while planning: the real file, and its folder's key in
    // m_resolved.
    std::vector<std::filesystem::path> m_targets;
    std::vector<QString> m_entryFolder;
    std::vector<Top> m_tops;
    std::vector<qsizetype> m_folderTop; // beside m_journal.folders while planning
    // The folder of the file planned last, and its key: no folder is resolved in between.
    const Folder *m_lastFolder = nullptr;
    QString m_lastFolderKey;
};

} // namespace freshgate
