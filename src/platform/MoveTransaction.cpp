#include "platform/MoveTransaction.h"

#include "platform/CrashPoint.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSet>
#include <string>

namespace freshgate {

namespace fs = std::filesystem;

namespace {

Q_LOGGING_CATEGORY(lcJournal, "freshgate.journal", QtWarningMsg)

constexpr int kFormat = 1;
constexpr char kCommitMark[] = "committed\n";

} // namespace

// ---------------------------------------------------------------------------------------------

MoveTransaction::MoveTransaction(const fs::path &workFolder, const fs::path &destination)
{
    setPaths(workFolder);
    std::error_code ec;
    m_destination = fs::weakly_canonical(fs::absolute(destination, ec), ec);
    if (ec) {
        m_destination = fs::absolute(destination, ec).lexically_normal();
    }
}

void MoveTransaction::setPaths(const fs::path &workFolder)
{
    std::error_code ec;
    m_work = fs::weakly_canonical(fs::absolute(workFolder, ec), ec);
    if (ec) {
        m_work = fs::absolute(workFolder, ec).lexically_normal();
    }
    m_staging = m_work / kStagingFolder;
    m_backup = m_work / kBackupFolder;
    m_journal = m_work / kJournalFile;
}

bool MoveTransaction::ours(const fs::path &real) const
{
    const QString path = fromPath(real);
    for (const fs::path &own :
         {m_staging, m_backup, m_journal, withSuffix(m_journal, ".tmp"), m_work / kKeptFolder}) {
        if (isInside(path, fromPath(own))) {
            return true;
        }
    }
    return false;
}

fs::path MoveTransaction::target(const Entry &entry) const
{
    return m_destination / toPath(entry.rel);
}

fs::path MoveTransaction::backup(std::size_t index) const
{
    return m_backup / std::to_string(index);
}

std::optional<MoveTransaction::Folder> MoveTransaction::resolve(const QString &relFolder,
                                                                QString *error)
{
    if (const auto it = m_resolved.constFind(relFolder); it != m_resolved.cend()) {
        return *it;
    }
    const qsizetype slash = relFolder.lastIndexOf(u'/');
    const std::optional<Folder> parent =
        relFolder.isEmpty() ? std::nullopt
                            : resolve(slash < 0 ? QString() : relFolder.left(slash), error);
    if (!relFolder.isEmpty() && !parent) {
        return std::nullopt;
    }
    Folder folder;
    if (relFolder.isEmpty()) {
        folder.real = m_destination;
        std::error_code ec;
        folder.missing = !fs::is_directory(fs::status(m_destination, ec));
        // The destination's missing folders, from the top down.
        std::vector<fs::path> missing;
        for (fs::path p = m_destination; folder.missing && !p.empty(); p = p.parent_path()) {
            const fs::file_status status = fs::status(p, ec);
            if (fs::is_directory(status)) {
                break;
            }
            if (status.type() != fs::file_type::not_found) {
                *error = QStringLiteral("\"%1\" is not a folder").arg(fromPath(p));
                return std::nullopt;
            }
            missing.push_back(p);
            if (p == p.parent_path()) {
                break;
            }
        }
        m_folders.insert(m_folders.end(), missing.rbegin(), missing.rend());
    } else {
        const fs::path path = parent->real / toPath(relFolder.mid(slash + 1));
        folder.real = path;
        folder.missing = parent->missing;
        std::error_code ec;
        const fs::file_status status = parent->missing ? fs::file_status(fs::file_type::not_found)
                                                       : fs::symlink_status(path, ec);
        if (status.type() == fs::file_type::not_found) {
            folder.missing = true;
            m_folders.push_back(path);
        } else if (fs::is_symlink(status)) {
            // Followed only where it stays inside: a link out would let a member land anywhere.
            const fs::path real = fs::canonical(path, ec);
            if (ec || !fs::is_directory(fs::status(real, ec))) {
                *error = QStringLiteral("\"%1\" is in the way: it is a link to no folder")
                             .arg(relFolder);
                return std::nullopt;
            }
            if (!isInside(fromPath(real), fromPath(m_destination)) || ours(real)) {
                *error = QStringLiteral("\"%1\" is a symbolic link out of the destination (to "
                                        "\"%2\"): refused")
                             .arg(relFolder, fromPath(real));
                return std::nullopt;
            }
            folder.real = real;
        } else if (!fs::is_directory(status)) {
            *error = QStringLiteral("\"%1\" is in the way: it is not a folder").arg(relFolder);
            return std::nullopt;
        }
    }
    m_resolved.insert(relFolder, folder);
    return folder;
}

bool MoveTransaction::plan(const std::vector<Move> &moves, const QStringList &removals,
                           QString *error)
{
    m_folders.clear();
    m_entries.clear();
    m_resolved.clear();
    if (ours(m_destination)) {
        *error = QStringLiteral("the destination lies in the extractor's own folders");
        return false;
    }
    // Each item becomes an entry keyed by the real file it changes, so two names that reach
    // one file through a link count as one, the later winning.
    QHash<QString, std::size_t> byTarget;
    const auto add = [&](const QString &staged, const QString &rel) {
        const qsizetype slash = rel.lastIndexOf(u'/');
        const std::optional<Folder> parent =
            resolve(slash < 0 ? QString() : rel.left(slash), error);
        if (!parent) {
            return false;
        }
        const fs::path real = parent->real / toPath(rel.mid(slash + 1));
        if (ours(real)) {
            *error = QStringLiteral("\"%1\" would land in the extractor's own folders").arg(rel);
            return false;
        }
        Entry entry{staged, fromPath(real.lexically_relative(m_destination)), false};
        if (!parent->missing) {
            std::error_code ec;
            const fs::file_status status = fs::symlink_status(real, ec);
            if (status.type() == fs::file_type::none) {
                *error = QStringLiteral("cannot look at \"%1\": %2").arg(rel, text(ec));
                return false;
            }
            if (fs::is_directory(status)) {
                *error = QStringLiteral("a folder is in the way of \"%1\"").arg(rel);
                return false;
            }
            entry.existed = status.type() != fs::file_type::not_found;
        }
        const QString key = fromPath(real);
        if (const auto it = byTarget.constFind(key); it != byTarget.cend()) {
            // A removal of a file that a move brings anew is the move's backup.
            if (!staged.isEmpty()) {
                m_entries[*it].staged = staged;
            }
            return true;
        }
        if (staged.isEmpty() && !entry.existed) {
            return true;
        }
        byTarget.insert(key, m_entries.size());
        m_entries.push_back(entry);
        return true;
    };
    for (const QString &rel : removals) {
        if (!add(QString(), rel)) {
            return false;
        }
    }
    for (const Move &move : moves) {
        if (!add(move.staged, move.rel)) {
            return false;
        }
    }
    return true;
}

QByteArray MoveTransaction::serialize() const
{
    QJsonArray folders;
    for (const fs::path &folder : m_folders) {
        folders.append(fromPath(folder));
    }
    QJsonArray entries;
    for (const Entry &entry : m_entries) {
        QJsonObject object{{QStringLiteral("target"), entry.rel},
                           {QStringLiteral("existed"), entry.existed}};
        if (!entry.staged.isEmpty()) {
            object.insert(QStringLiteral("staged"), entry.staged);
        }
        entries.append(object);
    }
    const QJsonObject journal{
        {QStringLiteral("format"), kFormat},
        {QStringLiteral("work"), fromPath(m_work)},
        {QStringLiteral("destination"), fromPath(m_destination)},
        {QStringLiteral("note"), m_note},
        {QStringLiteral("folders"), folders},
        {QStringLiteral("entries"), entries},
    };
    // Compact JSON holds no line break, so the commit mark can follow on a line of its own.
    return QJsonDocument(journal).toJson(QJsonDocument::Compact) + '\n';
}

bool MoveTransaction::parse(const QByteArray &bytes, bool *committed)
{
    const qsizetype end = bytes.indexOf('\n');
    if (end < 0) {
        return false;
    }
    const QByteArray rest = bytes.mid(end + 1);
    // A mark cut short by the crash counts as none: the version was not recorded yet.
    *committed = rest == kCommitMark;
    if (!rest.isEmpty() && !QByteArray(kCommitMark).startsWith(rest)) {
        return false;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes.left(end), &error);
    const QJsonObject journal = document.object();
    if (error.error != QJsonParseError::NoError || journal.value(u"format").toInt() != kFormat ||
        !journal.value(u"destination").isString() || !journal.value(u"entries").isArray()) {
        return false;
    }
    m_destination = toPath(journal.value(u"destination").toString());
    m_note = journal.value(u"note").toString();
    if (!m_destination.is_absolute()) {
        return false;
    }
    for (const auto &folder : journal.value(u"folders").toArray()) {
        const fs::path path = toPath(folder.toString());
        if (!path.is_absolute()) {
            return false;
        }
        m_folders.push_back(path);
    }
    for (const auto &value : journal.value(u"entries").toArray()) {
        const QJsonObject object = value.toObject();
        Entry entry{object.value(u"staged").toString(), object.value(u"target").toString(),
                    object.value(u"existed").toBool()};
        const fs::path rel = toPath(entry.rel);
        if (entry.rel.isEmpty() || rel.is_absolute() ||
            fromPath(rel.lexically_normal()).startsWith(QLatin1String(".."))) {
            return false;
        }
        m_entries.push_back(entry);
    }
    return true;
}

bool MoveTransaction::begin(const QString &note, QString *error)
{
    m_note = note;
    std::error_code ec;
    fs::create_directories(m_backup, ec);
    if (ec) {
        *error = QStringLiteral("cannot create the backup folder: %1").arg(text(ec));
        return false;
    }
    ec = writeDurably(m_journal, serialize());
    if (ec) {
        *error = QStringLiteral("cannot write the journal: %1").arg(text(ec));
        std::error_code ignored;
        fs::remove(withSuffix(m_journal, ".tmp"), ignored);
        return false;
    }
    return true;
}

bool MoveTransaction::apply(QString *error)
{
    for (const fs::path &folder : m_folders) {
        std::error_code ec;
        fs::create_directory(folder, ec);
        if (ec) {
            *error = QStringLiteral("cannot create \"%1\": %2").arg(fromPath(folder), text(ec));
            return false;
        }
        stepDone("folder created");
    }
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry &entry = m_entries[i];
        const fs::path to = target(entry);
        if (entry.existed) {
            if (const std::error_code ec = moveFile(to, backup(i))) {
                *error =
                    QStringLiteral("cannot move the old \"%1\" aside: %2").arg(entry.rel, text(ec));
                return false;
            }
            stepDone("old file moved aside");
        }
        if (entry.staged.isEmpty()) {
            continue;
        }
        if (const std::error_code ec = moveFile(m_staging / toPath(entry.staged), to)) {
            *error = QStringLiteral("cannot move \"%1\" into place: %2").arg(entry.rel, text(ec));
            return false;
        }
        stepDone("file moved into place");
    }
    return syncTouchedFolders(error);
}

bool MoveTransaction::syncTouchedFolders(QString *error) const
{
    QSet<QString> seen;
    std::vector<fs::path> folders;
    const auto touch = [&](const fs::path &folder) {
        if (!seen.contains(fromPath(folder))) {
            seen.insert(fromPath(folder));
            folders.push_back(folder);
        }
    };
    for (const fs::path &folder : m_folders) {
        touch(folder.parent_path());
    }
    for (const Entry &entry : m_entries) {
        touch(target(entry).parent_path());
    }
    touch(m_backup);
    std::erase_if(folders, [](const fs::path &folder) { return !pathExists(folder); });
    if (const std::error_code ec = syncAll(folders, SyncKind::Folders)) {
        *error = QStringLiteral("cannot flush the folders it changed: %1").arg(text(ec));
        return false;
    }
    return true;
}

bool MoveTransaction::commit(QString *error)
{
    QFile journal(fromPath(m_journal));
    const QByteArray mark(kCommitMark);
    if (!journal.open(QIODevice::WriteOnly | QIODevice::Append) ||
        journal.write(mark) != mark.size() || !journal.flush()) {
        *error = QStringLiteral("cannot mark the journal committed: %1").arg(journal.errorString());
        return false;
    }
    journal.close();
    stepDone("commit mark written");
    if (const std::error_code ec = syncFile(m_journal)) {
        *error = QStringLiteral("cannot flush the journal: %1").arg(text(ec));
        return false;
    }
    stepDone("commit mark flushed");
    return true;
}

bool MoveTransaction::retire(QString *error)
{
    std::error_code ec;
    fs::remove(m_journal, ec);
    if (ec) {
        *error = QStringLiteral("cannot remove the journal: %1").arg(text(ec));
        return false;
    }
    stepDone("journal removed");
    // Back from the dead, a committed journal would only record its version again; flushed,
    // it cannot undo a later installation.
    ec = syncFolder(m_work);
    stepDone("work folder flushed");
    for (const fs::path &folder : {m_backup, m_staging}) {
        std::error_code removed;
        fs::remove_all(folder, removed);
        if (removed) {
            qCWarning(lcJournal).noquote()
                << "cannot remove" << fromPath(folder) << ":" << text(removed);
        }
        stepDone("leftovers removed");
    }
    return true;
}

bool MoveTransaction::rollback(QString *problems)
{
    QStringList failed;
    bool restored = true;
    for (std::size_t i = m_entries.size(); i-- > 0;) {
        const Entry &entry = m_entries[i];
        const fs::path to = target(entry);
        const fs::path kept = backup(i);
        std::error_code ec;
        fs::remove(partialCopyOf(to), ec);
        const bool backedUp = pathExists(kept);
        // Untouched unless it did not exist before or its old self waits in the backup.
        if (entry.existed && !backedUp) {
            continue;
        }
        if (pathExists(to)) {
            fs::remove(to, ec);
            if (ec) {
                failed.append(QStringLiteral("\"%1\": %2").arg(entry.rel, text(ec)));
                restored = false;
                continue;
            }
            stepDone("new file removed");
        }
        if (backedUp) {
            ec = moveFile(kept, to);
            if (ec) {
                failed.append(QStringLiteral("\"%1\": %2").arg(entry.rel, text(ec)));
                restored = false;
                continue;
            }
            stepDone("old file restored");
        }
    }
    for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it) {
        std::error_code ec;
        // Only an empty folder goes; one that holds something not ours stays.
        if (fs::remove(*it, ec)) {
            stepDone("folder removed");
        } else if (ec && pathExists(*it)) {
            failed.append(QStringLiteral("\"%1\": %2").arg(fromPath(*it), text(ec)));
        }
    }
    QString error;
    if (restored && !syncTouchedFolders(&error)) {
        failed.append(error);
        restored = false;
    }
    if (restored && !retire(&error)) {
        failed.append(error);
        restored = false;
    }
    *problems = failed.join(QStringLiteral(", "));
    return restored;
}

Recovery MoveTransaction::recover(const fs::path &workFolder,
                                  const std::function<bool(const QString &)> &record,
                                  QString *detail)
{
    MoveTransaction journal;
    journal.setPaths(workFolder);
    std::error_code ec;
    if (!pathExists(journal.m_journal)) {
        // A journal that never reached its name was written before anything moved.
        fs::remove(withSuffix(journal.m_journal, ".tmp"), ec);
        return Recovery::Nothing;
    }
    QFile file(fromPath(journal.m_journal));
    bool committed = false;
    if (!file.open(QIODevice::ReadOnly) || !journal.parse(file.readAll(), &committed)) {
        // Without the journal nobody can tell which files are old: keep every backup.
        const fs::path kept = journal.m_work / kKeptFolder;
        fs::create_directories(kept, ec);
        int n = 1;
        while (pathExists(kept / ("journal-" + std::to_string(n)))) {
            ++n;
        }
        const std::string suffix = std::to_string(n);
        fs::rename(journal.m_journal, kept / ("journal-" + suffix), ec);
        if (!ec && pathExists(journal.m_backup)) {
            fs::rename(journal.m_backup, kept / ("backup-" + suffix), ec);
        }
        if (!ec) {
            ec = syncFolder(journal.m_work);
        }
        *detail = ec ? QStringLiteral("the journal %1 cannot be read, and cannot be set aside "
                                      "(%2); it and the backups stay where they are")
                           .arg(fromPath(journal.m_journal), text(ec))
                     : QStringLiteral("the journal %1 cannot be read; it and the backups of the "
                                      "files it replaced are kept in %2 (set %3)")
                           .arg(fromPath(journal.m_journal), fromPath(kept),
                                QString::fromStdString(suffix));
        return ec ? Recovery::Pending : Recovery::SetAside;
    }
    if (committed) {
        if (!journal.m_note.isEmpty() && !record(journal.m_note)) {
            *detail = QStringLiteral("an interrupted installation into %1 is on disk but could "
                                     "not be recorded; the journal stays for the next start")
                          .arg(fromPath(journal.m_destination));
            return Recovery::Pending;
        }
        QString error;
        if (!journal.retire(&error)) {
            *detail = error;
            return Recovery::Pending;
        }
        *detail = QStringLiteral("finished the installation into %1 that a crash interrupted")
                      .arg(fromPath(journal.m_destination));
        return Recovery::RolledForward;
    }
    QString problems;
    if (!journal.rollback(&problems)) {
        *detail = QStringLiteral("could not undo all of an interrupted installation into %1 "
                                 "(%2); its journal and backups stay for the next start")
                      .arg(fromPath(journal.m_destination), problems);
        return Recovery::Pending;
    }
    *detail = QStringLiteral("undid the installation into %1 that a crash interrupted")
                  .arg(fromPath(journal.m_destination));
    return Recovery::RolledBack;
}

QStringList MoveTransaction::keptNames(const fs::path &workFolder)
{
    QStringList names{QLatin1String(kKeptFolder)};
    if (pathExists(workFolder / kJournalFile)) {
        names << QLatin1String(kJournalFile) << QLatin1String(kBackupFolder);
    }
    return names;
}

} // namespace freshgate
