// Planning an installation: which folders the moves touch, which come in whole, and what
// must be flushed. The doing and undoing is in Transaction.cpp.
#include "base/CrashPoint.h"
#include "base/DurableFile.h"
#include "base/FileProbe.h"
#include "install/Transaction.h"

#include <QDir>
#include <QSet>

namespace freshgate {

namespace fs = std::filesystem;

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
    m_folderTop.resize(m_journal.folders.size(), -1);
    if (folder.missing) {
        folder.top = newTop(m_journal.destination);
        m_folderTop.back() = folder.top;
    }
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
        folder.top = parent->top >= 0 ? parent->top : newTop(path);
        m_journal.folders.push_back(path);
        m_folderTop.push_back(folder.top);
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

Result<const Transaction::Folder *> Transaction::folderOf(const QString &rel)
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
    return m_lastFolder;
}

Status Transaction::add(const QString &staged, const QString &rel,
                        QHash<QString, std::size_t> &byTarget)
{
    const Result<const Folder *> found = folderOf(rel);
    if (!found) {
        return found.failure();
    }
    // Valid until the next folder is resolved.
    const Folder *parent = *found;
    const QString &folderKey = m_lastFolderKey;
    const QString name = rel.mid(rel.lastIndexOf(u'/') + 1);
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

qsizetype Transaction::newTop(const fs::path &folder)
{
    m_tops.push_back({folder, 0, true, false});
    return static_cast<qsizetype>(m_tops.size()) - 1;
}

bool Transaction::comesInWhole(qsizetype top) const
{
    return top >= 0 && m_tops[static_cast<std::size_t>(top)].whole;
}

Status Transaction::plan(const std::vector<Move> &moves, const QStringList &removals)
{
    m_journal.folders.clear();
    m_journal.entries.clear();
    m_resolved.clear();
    m_targets.clear();
    m_entryFolder.clear();
    m_tops.clear();
    m_folderTop.clear();
    m_flushFiles.clear();
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
    findWholeFolders(moves);
    for (const Move &move : moves) {
        // A file of a folder that comes in whole is no step of its own, only flushed with it.
        const Result<const Folder *> folder = folderOf(move.rel);
        if (folder && comesInWhole((*folder)->top)) {
            m_flushFiles.push_back((*folder)->real /
                                   toPath(move.rel.mid(move.rel.lastIndexOf(u'/') + 1)));
        } else if (Status added = add(move.staged, move.rel, byTarget); !added) {
            return added;
        }
    }
    listFlushes();
    keepWholeFolders();
    m_done.assign(m_journal.entries.size(), Done::Nothing);
    return {};
}

// A folder the destination lacks comes in by one rename of its staged counterpart where that
// holds exactly the files planned for it, each under its own name, and nothing else.
void Transaction::findWholeFolders(const std::vector<Move> &moves)
{
    for (const Move &move : moves) {
        const Result<const Folder *> found = folderOf(move.rel);
        if (!found) {
            return; // none comes in whole; add() reports the failure in its turn
        }
        const Folder &folder = **found;
        if (folder.top < 0) {
            continue;
        }
        Top &top = m_tops[static_cast<std::size_t>(folder.top)];
        ++top.files;
        top.fits =
            top.fits && folder.own == Own::None &&
            move.staged == QDir::fromNativeSeparators(folder.relativeText +
                                                      move.rel.mid(move.rel.lastIndexOf(u'/') + 1));
    }
    for (Top &top : m_tops) {
        top.whole = top.fits && top.files > 0 && stagedHoldsOnly(top.folder, top.files);
    }
}

void Transaction::listFlushes()
{
    m_flushFolders.clear();
    QSet<QString> seen;
    const auto touch = [&](const QString &key, const fs::path &folder) {
        if (!seen.contains(key)) {
            seen.insert(key);
            m_flushFolders.push_back(folder);
        }
    };
    for (std::size_t i = 0; i < m_journal.folders.size(); ++i) {
        const fs::path &folder = m_journal.folders[i];
        touch(fromPath(folder.parent_path()), folder.parent_path());
        // Each folder of one that comes in whole gets its files by the rename.
        if (comesInWhole(m_folderTop[i])) {
            touch(fromPath(folder), folder);
        }
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

// Whether the staged counterpart of a folder holds just that many files and nothing but
// folders besides, on the destination's file system.
bool Transaction::stagedHoldsOnly(const fs::path &folder, std::size_t files) const
{
    const fs::path rel = folder.lexically_relative(m_journal.destination);
    const fs::path staged = rel == fs::path(".") ? m_staging : m_staging / rel;
    std::error_code ec;
    std::size_t found = 0;
    for (fs::recursive_directory_iterator it(staged, ec), end; !ec && it != end; it.increment(ec)) {
        // The types the folder listing gave: no look at each file.
        if (it->is_symlink(ec)) {
            return false;
        }
        if (it->is_regular_file(ec)) {
            ++found;
        } else if (!it->is_directory(ec)) {
            return false;
        }
    }
    return !ec && found == files && sameFileSystem(staged, folder);
}

// The folders that come in whole are one entry each, after the files, and none of their
// folders is made.
void Transaction::keepWholeFolders()
{
    std::vector<fs::path> folders;
    for (std::size_t i = 0; i < m_journal.folders.size(); ++i) {
        if (!comesInWhole(m_folderTop[i])) {
            folders.push_back(m_journal.folders[i]);
        }
    }
    for (const Top &top : m_tops) {
        if (top.whole) {
            const QString rel =
                top.folder == m_journal.destination
                    ? QString()
                    : fromPath(top.folder.lexically_relative(m_journal.destination));
            m_journal.entries.push_back({rel, rel, false, true});
            m_targets.push_back(top.folder);
        }
    }
    m_journal.folders = std::move(folders);
    m_folderTop.clear();
    m_entryFolder.clear(); // of no more use
}

} // namespace freshgate
