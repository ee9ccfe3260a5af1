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

Result<Transaction::Folder> Transaction::resolveRoot()
{
    Folder folder{m_journal.destination, false, {}, Own::None, {}, {}};
    std::error_code ec;
    folder.missing = !fs::is_directory(fs::status(m_journal.destination, ec));
    // The destination's missing folders, from the top down.
    std::vector<fs::path> missing;
    for (fs::path p = m_journal.destination; folder.missing && !p.empty(); p = p.parent_path()) {
        const fs::file_status status = fs::status(p, ec);
        if (fs::is_directory(status)) {
            break;
        }
        if (status.type() != fs::file_type::not_found) {
            return fileFailure(FailureKind::Disk, fromPath(p),
                               QStringLiteral("\"%1\" is not a folder").arg(fromPath(p)), {});
        }
        missing.push_back(p);
        if (p == p.parent_path()) {
            break;
        }
    }
    m_journal.folders.insert(m_journal.folders.end(), missing.rbegin(), missing.rend());
    return folder;
}

Result<Transaction::Folder> Transaction::resolve(const QString &relFolder)
{
    if (const auto it = m_resolved.constFind(relFolder); it != m_resolved.cend()) {
        return *it;
    }
    if (relFolder.isEmpty()) {
        Result<Folder> root = resolveRoot();
        if (root) {
            describe(root.value());
            m_resolved.insert(relFolder, *root);
        }
        return root;
    }
    const qsizetype slash = relFolder.lastIndexOf(u'/');
    Result<Folder> parent = resolve(slash < 0 ? QString() : relFolder.left(slash));
    if (!parent) {
        return parent;
    }
    const fs::path path = parent->real / toPath(relFolder.mid(slash + 1));
    Folder folder{path, parent->missing, {}, Own::None, {}, {}};
    const QString shown = fromPath(path);
    std::error_code ec;
    const fs::file_status status =
        parent->missing ? fs::file_status(fs::file_type::not_found) : fs::symlink_status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        folder.missing = true;
        m_journal.folders.push_back(path);
    } else if (fs::is_symlink(status)) {
        // Followed only where it stays inside: a link out would let a member land anywhere.
        const fs::path real = fs::canonical(path, ec);
        if (ec || !fs::is_directory(fs::status(real, ec))) {
            return fileFailure(FailureKind::Disk, shown,
                               QStringLiteral("\"%1\" is in the way").arg(relFolder),
                               QStringLiteral("it is a link to no folder"));
        }
        if (!isInside(fromPath(real), fromPath(m_journal.destination)) || ours(real)) {
            return failure(FailureKind::Archive,
                           QStringLiteral("\"%1\" is a symbolic link out of the destination (to "
                                          "\"%2\"): refused")
                               .arg(relFolder, fromPath(real)));
        }
        folder.real = real;
    } else if (!fs::is_directory(status)) {
        return fileFailure(FailureKind::Disk, shown,
                           QStringLiteral("\"%1\" is in the way").arg(relFolder),
                           QStringLiteral("it is not a folder"));
    }
    describe(folder);
    m_resolved.insert(relFolder, folder);
    return folder;
}

Status Transaction::add(const QString &staged, const QString &rel,
                        QHash<QString, std::size_t> &byTarget)
{
    const qsizetype slash = rel.lastIndexOf(u'/');
    // Files of one folder mostly follow each other: the last one's folder is asked first.
    const QStringView folderView = QStringView(rel).left(std::max<qsizetype>(slash, 0));
    if (!m_lastFolder || m_lastFolderKey != folderView) {
        const QString folderKey = folderView.toString();
        auto found = m_resolved.constFind(folderKey);
        if (found == m_resolved.cend()) {
            if (const Result<Folder> resolved = resolve(folderKey); !resolved) {
                return resolved.failure();
            }
            found = m_resolved.constFind(folderKey);
        }
        m_lastFolderKey = folderKey;
        m_lastFolder = &*found;
    }
    // Valid until the next folder is resolved.
    const Folder *parent = m_lastFolder;
    const QString &folderKey = m_lastFolderKey;
    const QString name = rel.mid(slash + 1);
    fs::path real = parent->real / toPath(name);
    if (parent->own == Own::All || (parent->own == Own::ByName && ours(real))) {
        return failure(FailureKind::Archive,
                       QStringLiteral("\"%1\" would land in Freshgate's own folders").arg(rel));
    }
    JournalEntry entry{staged, parent->relativeText + name, false};
    if (!parent->missing) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(real, ec);
        if (status.type() == fs::file_type::none) {
            return fileFailure(ec, fromPath(real),
                               QStringLiteral("cannot look at \"%1\"").arg(rel));
        }
        if (fs::is_directory(status)) {
            return fileFailure(FailureKind::Disk, fromPath(real),
                               QStringLiteral("a folder is in the way of \"%1\"").arg(rel), {});
        }
        entry.existed = status.type() != fs::file_type::not_found;
    }
    // Each item is keyed by the real file it changes, so two names that reach one file through
    // a link count as one, the later winning; a removal of a file a move brings anew is the
    // move's backup.
    const QString key = parent->realText + name;
    if (const auto it = byTarget.constFind(key); it != byTarget.cend()) {
        if (!staged.isEmpty()) {
            m_journal.entries[*it].staged = staged;
        }
        return {};
    }
    if (staged.isEmpty() && !entry.existed) {
        return {};
    }
    byTarget.insert(key, m_journal.entries.size());
    m_journal.entries.push_back(entry);
    m_targets.push_back(std::move(real));
    m_entryFolder.push_back(folderKey);
    return {};
}

Status Transaction::plan(const std::vector<Move> &moves, const QStringList &removals)
{
    m_journal.folders.clear();
    m_journal.entries.clear();
    m_resolved.clear();
    m_targets.clear();
    m_entryFolder.clear();
    m_lastFolder = nullptr;
    m_lastFolderKey = QString();
    if (ours(m_journal.destination)) {
        return failure(FailureKind::Usage,
                       QStringLiteral("the destination lies in Freshgate's own folders"));
    }
    QHash<QString, std::size_t> byTarget;
    for (const QString &rel : removals) {
        if (Status added = add({}, rel, byTarget); !added) {
            return added;
        }
    }
    for (const Move &move : moves) {
        if (Status added = add(move.staged, move.rel, byTarget); !added) {
            return added;
        }
    }
    listFlushes();
    collapseNewFolders();
    m_done.assign(m_journal.entries.size(), Done::Nothing);
    return {};
}

void Transaction::listFlushes()
{
    m_flushFiles.clear();
    m_flushFolders.clear();
    QSet<QString> seen;
    const auto touch = [&](const QString &key, const fs::path &folder) {
        if (!seen.contains(key)) {
            seen.insert(key);
            m_flushFolders.push_back(folder);
        }
    };
    for (const fs::path &folder : m_journal.folders) {
        touch(fromPath(folder.parent_path()), folder.parent_path());
    }
    QSet<QString> seenKeys;
    for (std::size_t i = 0; i < m_journal.entries.size(); ++i) {
        if (!seenKeys.contains(m_entryFolder[i])) {
            seenKeys.insert(m_entryFolder[i]);
            const fs::path &folder = m_resolved[m_entryFolder[i]].real;
            touch(fromPath(folder), folder);
        }
        if (!m_journal.entries[i].staged.isEmpty()) {
            m_flushFiles.push_back(m_targets[i]);
        }
    }
}

// Whether the staged counterpart of a folder the destination lacks holds exactly the files
// planned for it, each under its own name, and nothing else: then one rename brings them all.
bool Transaction::comesInWhole(const fs::path &folder,
                               const std::vector<std::size_t> &entries) const
{
    const fs::path rel = folder.lexically_relative(m_journal.destination);
    const fs::path staged = rel == fs::path(".") ? m_staging : m_staging / rel;
    for (const std::size_t index : entries) {
        const JournalEntry &entry = m_journal.entries[index];
        if (entry.staged.isEmpty() || entry.staged != QDir::fromNativeSeparators(entry.rel)) {
            return false;
        }
    }
    std::error_code ec;
    std::size_t files = 0;
    for (fs::recursive_directory_iterator it(staged, ec), end; !ec && it != end; it.increment(ec)) {
        // The types the folder listing gave: no look at each file.
        if (it->is_symlink(ec)) {
            return false;
        }
        if (it->is_regular_file(ec)) {
            ++files;
        } else if (!it->is_directory(ec)) {
            return false;
        }
    }
    return !ec && files == entries.size() && sameFileSystem(staged, folder);
}

void Transaction::collapseNewFolders()
{
    // The highest missing folders at or below the destination, and the files bound for each.
    QHash<QString, std::size_t> candidate;
    std::vector<fs::path> tops;
    QSet<QString> missing;
    for (const fs::path &folder : m_journal.folders) {
        missing.insert(fromPath(folder));
        const bool inside = isInside(fromPath(folder), fromPath(m_journal.destination));
        if (inside && (folder == m_journal.destination ||
                       !missing.contains(fromPath(folder.parent_path())))) {
            candidate.insert(fromPath(folder), tops.size());
            tops.push_back(folder);
        }
    }
    if (tops.empty()) {
        return;
    }
    QHash<QString, qsizetype> topOf; // by a folder's path; -1: none
    const auto findTop = [&](const fs::path &parent) {
        const QString key = fromPath(parent);
        if (const auto it = topOf.constFind(key); it != topOf.cend()) {
            return *it;
        }
        qsizetype top = -1;
        for (fs::path p = parent; missing.contains(fromPath(p)); p = p.parent_path()) {
            if (const auto it = candidate.constFind(fromPath(p)); it != candidate.cend()) {
                top = static_cast<qsizetype>(*it);
                break;
            }
        }
        topOf.insert(key, top);
        return top;
    };
    QHash<QString, qsizetype> topOfKey; // by a file's folder's key in m_resolved
    std::vector<std::vector<std::size_t>> bound(tops.size());
    std::vector<qsizetype> entryTop(m_journal.entries.size(), -1);
    for (std::size_t i = 0; i < m_journal.entries.size(); ++i) {
        auto it = topOfKey.find(m_entryFolder[i]);
        if (it == topOfKey.end()) {
            it = topOfKey.insert(m_entryFolder[i], findTop(m_resolved[m_entryFolder[i]].real));
        }
        entryTop[i] = *it;
        if (entryTop[i] >= 0) {
            bound[static_cast<std::size_t>(entryTop[i])].push_back(i);
        }
    }
    std::vector<bool> whole(tops.size());
    for (std::size_t t = 0; t < tops.size(); ++t) {
        whole[t] = !bound[t].empty() && comesInWhole(tops[t], bound[t]);
    }
    std::vector<JournalEntry> entries;
    std::vector<fs::path> targets;
    for (std::size_t i = 0; i < m_journal.entries.size(); ++i) {
        if (entryTop[i] < 0 || !whole[static_cast<std::size_t>(entryTop[i])]) {
            entries.push_back(m_journal.entries[i]);
            targets.push_back(m_targets[i]);
        }
    }
    std::vector<fs::path> folders;
    for (const fs::path &folder : m_journal.folders) {
        const qsizetype top = findTop(folder);
        if (top < 0 || !whole[static_cast<std::size_t>(top)]) {
            folders.push_back(folder);
        }
    }
    for (std::size_t t = 0; t < tops.size(); ++t) {
        if (whole[t]) {
            const QString rel = tops[t] == m_journal.destination
                                    ? QString()
                                    : fromPath(tops[t].lexically_relative(m_journal.destination));
            entries.push_back({rel, rel, false, true});
            targets.push_back(tops[t]);
        }
    }
    m_journal.entries = std::move(entries);
    m_journal.folders = std::move(folders);
    m_targets = std::move(targets);
    m_entryFolder.clear(); // of no more use
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
