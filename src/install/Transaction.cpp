#include "install/Transaction.h"

#include "base/CrashPoint.h"
#include "base/DurableFile.h"
#include "base/FileProbe.h"

#include <QDir>
#include <QLoggingCategory>
#include <QSet>

namespace freshgate {

namespace fs = std::filesystem;

namespace {

Q_LOGGING_CATEGORY(lcJournal, "freshgate.journal", QtWarningMsg)

fs::path realPath(const fs::path &path)
{
    std::error_code ec;
    fs::path real = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) {
        real = fs::absolute(path, ec).lexically_normal();
    }
    return real;
}

// A failure of the destination's folder, which the user knows by its own name.
Failure folderFailure(const std::error_code &ec, const fs::path &file, const QString &doing)
{
    return fileFailure(ec, fromPath(file.parent_path()), doing);
}

} // namespace

Transaction::Transaction(const fs::path &workFolder, const fs::path &destination, FileSystem &files)
    : m_files(files)
{
    m_journal.work = realPath(workFolder);
    m_journal.destination = realPath(destination);
    m_staging = m_journal.work / kStagingFolder;
}

bool Transaction::ours(const fs::path &real) const
{
    return isOwnPath(fromPath(real), fromPath(m_journal.work));
}

void Transaction::describe(Folder &folder) const
{
    folder.relative = folder.real == m_journal.destination
                          ? fs::path()
                          : folder.real.lexically_relative(m_journal.destination);
    const QChar separator(static_cast<char16_t>(fs::path::preferred_separator));
    folder.realText = fromPath(folder.real) + separator;
    folder.relativeText =
        folder.relative.empty() ? QString() : fromPath(folder.relative) + separator;
    folder.own = ours(folder.real)               ? Own::All
                 : folder.real == m_journal.work ? Own::ByName
                                                 : Own::None;
}

Status Transaction::check() const
{
    QSet<QString> probed;
    const auto probe = [&probed](const fs::path &folder) -> Status {
        const QString path = fromPath(folder);
        if (probed.contains(path)) {
            return {};
        }
        probed.insert(path);
        return probeFolder(path);
    };
    const fs::path *last = nullptr;
    for (const fs::path &target : m_targets) {
        // Files of one folder mostly follow each other.
        if (last && last->parent_path() == target.parent_path()) {
            continue;
        }
        last = &target;
        if (Status ok = probe(target.parent_path()); !ok) {
            return ok;
        }
    }
    for (const fs::path &folder : m_journal.folders) {
        if (Status ok = probe(folder.parent_path()); !ok) {
            return ok;
        }
    }
    return {};
}

Status Transaction::begin(std::optional<VersionRecord> record)
{
    m_journal.names = newJournal(m_journal.work);
    m_journal.record = record;
    std::error_code ec;
    fs::create_directories(m_journal.names.backup, ec);
    if (ec) {
        return fileFailure(ec, fromPath(m_journal.work),
                           QStringLiteral("cannot make the backup folder"));
    }
    return m_journal.write();
}

// A folder that cannot be renamed whole (on Windows a virus scanner may hold one of its files
// open) is built file by file instead. Its undo, taking the folder out whole, stays the same.
Status Transaction::placeFolderByFiles(const fs::path &from, const fs::path &to, std::size_t index)
{
    std::vector<fs::directory_entry> staged;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        staged.push_back(*it);
    }
    if (!ec) {
        ec = m_files.createFolder(to);
    }
    if (ec) {
        return folderFailure(ec, to,
                             QStringLiteral("cannot make the folder \"%1\"").arg(fromPath(to)));
    }
    m_done[index] = Done::Placed;
    for (const fs::directory_entry &item : staged) {
        const fs::path target = to / item.path().lexically_relative(from);
        ec = item.is_directory(ec) ? m_files.createFolder(target)
                                   : moveReplacing(m_files, item.path(), target);
        if (ec) {
            return folderFailure(
                ec, target,
                QStringLiteral("cannot put \"%1\" in place").arg(fromPath(target.filename())));
        }
    }
    return {};
}

Status Transaction::applyEntry(std::size_t index)
{
    const JournalEntry &entry = m_journal.entries[index];
    const fs::path to = m_journal.target(entry);
    if (entry.folder) {
        const fs::path from = entry.staged.isEmpty() ? m_staging : m_staging / toPath(entry.staged);
        if (m_files.rename(from, to)) {
            if (Status placed = placeFolderByFiles(from, to, index); !placed) {
                return placed;
            }
        }
        m_done[index] = Done::Placed;
        stepDone("folder moved into place");
        return {};
    }
    if (entry.existed && !entry.staged.isEmpty()) {
        // The old file keeps a second name first, so the new one can replace it in one step:
        // at no moment is there no file of that name.
        if (const std::error_code ec = keepCopy(m_files, to, m_journal.backup(index))) {
            return folderFailure(ec, to,
                                 QStringLiteral("cannot keep the old \"%1\"").arg(entry.rel));
        }
        m_done[index] = Done::Kept;
        stepDone("old file kept");
    } else if (entry.existed) {
        if (const std::error_code ec = moveReplacing(m_files, to, m_journal.backup(index))) {
            return folderFailure(ec, to,
                                 QStringLiteral("cannot move the old \"%1\" aside").arg(entry.rel));
        }
        m_done[index] = Done::Placed;
        stepDone("old file moved aside");
        return {};
    }
    if (const std::error_code ec = moveReplacing(m_files, m_staging / toPath(entry.staged), to)) {
        return folderFailure(ec, to, QStringLiteral("cannot put \"%1\" in place").arg(entry.rel));
    }
    m_done[index] = Done::Placed;
    stepDone("file moved into place");
    return {};
}

Status Transaction::apply()
{
    for (const fs::path &folder : m_journal.folders) {
        if (const std::error_code ec = m_files.createFolder(folder)) {
            return fileFailure(
                ec, fromPath(folder.parent_path()),
                QStringLiteral("cannot make the folder \"%1\"").arg(fromPath(folder)));
        }
        ++m_foldersMade;
        stepDone("folder created");
    }
    for (std::size_t i = 0; i < m_journal.entries.size(); ++i) {
        if (Status applied = applyEntry(i); !applied) {
            return applied;
        }
    }
    return syncTouched(true);
}

Status Transaction::syncTouched(bool withFiles) const
{
    std::vector<fs::path> folders;
    for (const fs::path &folder : m_flushFolders) {
        if (pathExists(folder)) {
            folders.push_back(folder);
        }
    }
    folders.push_back(m_journal.names.backup);
    return syncAll(withFiles ? m_flushFiles : std::vector<fs::path>(), folders);
}

Status Transaction::commit()
{
    return m_journal.markCommitted();
}

void Transaction::retire()
{
    if (const Status removed = m_journal.remove(); !removed) {
        qCWarning(lcJournal).noquote() << removed.message();
    }
    for (const fs::path &folder : {m_journal.names.backup, m_staging}) {
        std::error_code ec;
        fs::remove_all(folder, ec);
        if (ec) {
            qCWarning(lcJournal).noquote()
                << "cannot remove" << fromPath(folder) << ":" << errorText(ec);
        }
        stepDone("leftovers removed");
    }
}

Status Transaction::undoEntry(std::size_t index)
{
    const JournalEntry &entry = m_journal.entries[index];
    const fs::path to = m_journal.target(entry);
    std::error_code ec;
    switch (m_done[index]) {
    case Done::Nothing:
        return {};
    case Done::Kept:
        // The file itself was never touched; the second name goes with the backups.
        m_done[index] = Done::Nothing;
        return {};
    case Done::Placed:
        // A folder that came in whole leaves whole, into the backups that go at the end.
        ec = entry.folder    ? m_files.rename(to, m_journal.backup(index))
             : entry.existed ? moveReplacing(m_files, m_journal.backup(index), to)
                             : m_files.remove(to);
        break;
    }
    if (ec) {
        return folderFailure(ec, to, QStringLiteral("cannot undo \"%1\"").arg(entry.rel));
    }
    m_done[index] = Done::Nothing;
    stepDone(entry.existed ? "old file restored" : "new file removed");
    return {};
}

Status Transaction::rollback()
{
    if (m_journal.committed) {
        if (const Status taken = m_journal.takeBackCommit(); !taken) {
            return taken.failure().within(QStringLiteral("the installation stays, to be recorded "
                                                         "at the next start"));
        }
    }
    std::optional<Failure> first;
    for (std::size_t i = m_journal.entries.size(); i-- > 0;) {
        if (const Status undone = undoEntry(i); !undone && !first) {
            first = undone.failure();
        }
    }
    for (std::size_t i = m_foldersMade; i-- > 0;) {
        // Only an empty folder goes; one that holds something not ours stays.
        if (!m_files.remove(m_journal.folders[i])) {
            stepDone("folder removed");
        }
    }
    m_foldersMade = 0;
    if (!first) {
        if (const Status flushed = syncTouched(false); !flushed) {
            first = flushed.failure();
        }
    }
    if (first) {
        return first->within(QStringLiteral("could not undo all of it; the journal %1 waits for "
                                            "the next start")
                                 .arg(fromPath(m_journal.names.journal)));
    }
    retire();
    return {};
}

} // namespace freshgate
