#include "install/Recovery.h"

#include "base/CrashPoint.h"
#include "base/DurableFile.h"
#include "install/Journal.h"

#include <QLoggingCategory>

namespace freshgate {

namespace fs = std::filesystem;

namespace {

Q_LOGGING_CATEGORY(lcRecovery, "freshgate.journal", QtWarningMsg)

// Undoes from what the disk shows: the journal does not say how far a crash let the moves come.
// A file replaced keeps a second name in the backup folder; while that is still the file in
// place nothing needs restoring.
Status undoFromDisk(const Journal &journal, FileSystem &files)
{
    std::optional<Failure> first;
    for (std::size_t i = journal.entries.size(); i-- > 0;) {
        const JournalEntry &entry = journal.entries[i];
        const fs::path to = journal.target(entry);
        const fs::path kept = journal.backup(i);
        if (!entry.folder) {
            (void)files.remove(partialCopyOf(to));
        }
        std::error_code ec;
        if (entry.folder) {
            // The destination lacked it, so whatever is there came in whole with the install;
            // it leaves whole, with the backups.
            if (pathExists(to)) {
                ec = files.rename(to, kept);
            }
        } else if (entry.existed && pathExists(kept)) {
            const bool untouched = !entry.staged.isEmpty() && fs::equivalent(kept, to, ec);
            if (!untouched) {
                ec = moveReplacing(files, kept, to);
            }
        } else if (!entry.existed && !entry.staged.isEmpty() && pathExists(to)) {
            ec = files.remove(to);
        }
        if (ec && !first) {
            first = fileFailure(ec, fromPath(to.parent_path()),
                                QStringLiteral("cannot undo \"%1\"").arg(entry.rel));
        }
        stepDone("file undone");
    }
    for (auto it = journal.folders.rbegin(); it != journal.folders.rend(); ++it) {
        // Only an empty folder goes; one that holds something not ours stays.
        (void)files.remove(*it);
    }
    if (first) {
        return *first;
    }
    return {};
}

void removeLeftovers(const Journal &journal)
{
    std::error_code ec;
    fs::remove_all(journal.names.backup, ec);
    stepDone("leftovers removed");
}

// Moves a journal and its backups into ~kept, under the lowest number free there.
Recovered setAside(const JournalNames &names, const QString &why)
{
    const fs::path kept = names.journal.parent_path() / kKeptFolder;
    std::error_code ec;
    fs::create_directories(kept, ec);
    const auto keptAs = [&kept](const char *what, int n) {
        return kept / toPath(QStringLiteral("%1-%2").arg(QLatin1String(what)).arg(n));
    };
    int n = 1;
    while (pathExists(keptAs("journal", n)) || pathExists(keptAs("backup", n))) {
        ++n;
    }
    if (!ec) {
        fs::rename(names.journal, keptAs("journal", n), ec);
    }
    if (!ec && pathExists(names.backup)) {
        fs::rename(names.backup, keptAs("backup", n), ec);
    }
    if (!ec) {
        ec = flushFolder(names.journal.parent_path());
    }
    if (ec) {
        return {Recovery::Waiting,
                QStringLiteral("%1; it cannot be set aside either (%2): it and its backups stay "
                               "where they are")
                    .arg(why, errorText(ec))};
    }
    return {Recovery::SetAside, QStringLiteral("%1; it and the backups of the files it replaced "
                                               "are kept in %2 (set %3), and the component is "
                                               "installed again by the next run")
                                    .arg(why, fromPath(kept), QString::number(n))};
}

Recovered undo(Journal &journal, FileSystem &files, const QString &what)
{
    const QString destination = fromPath(journal.destination);
    if (journal.committed) {
        if (const Status taken = journal.takeBackCommit(); !taken) {
            return setAside(journal.names, taken.message());
        }
    }
    if (const Status undone = undoFromDisk(journal, files); !undone) {
        return setAside(journal.names,
                        QStringLiteral("could not undo the installation into %1 (%2)")
                            .arg(destination, undone.message()));
    }
    const Status removed = journal.remove();
    removeLeftovers(journal);
    if (!removed) {
        return {Recovery::Waiting, removed.message()};
    }
    return {Recovery::RolledBack,
            QStringLiteral("undid the installation into %1 %2").arg(destination, what)};
}

Recovered recoverOne(const JournalNames &names, const VersionRecorder &record, FileSystem &files)
{
    Result<Journal> read = Journal::read(names);
    if (!read) {
        // Without the journal nobody can tell which files are old: keep every backup.
        return setAside(names, read.message());
    }
    Journal journal = std::move(read).value();
    const QString destination = fromPath(journal.destination);
    if (!journal.committed) {
        return undo(journal, files, QStringLiteral("that a crash interrupted"));
    }
    if (journal.record) {
        if (const Status recorded = record(*journal.record); !recorded) {
            return undo(journal, files,
                        QStringLiteral("that a crash interrupted, since its version cannot be "
                                       "recorded (%1)")
                            .arg(recorded.message()));
        }
    }
    const Status removed = journal.remove();
    removeLeftovers(journal);
    if (!removed) {
        return {Recovery::Waiting, removed.message()};
    }
    return {Recovery::RolledForward,
            QStringLiteral("finished the installation into %1 that a crash interrupted")
                .arg(destination)};
}

} // namespace

QList<Recovered> recoverInstallations(const fs::path &workFolder, const VersionRecorder &record,
                                      FileSystem &files)
{
    QList<Recovered> outcomes;
    for (const JournalNames &names : journalsIn(workFolder)) {
        const Recovered outcome = recoverOne(names, record, files);
        qCWarning(lcRecovery).noquote() << outcome.detail;
        outcomes.append(outcome);
    }
    // A journal that never reached its name was written before anything moved.
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(workFolder, ec)) {
        const QString name = fromPath(entry.path().filename());
        if (name.startsWith(QLatin1String("~journal")) && name.endsWith(QLatin1String(".tmp"))) {
            fs::remove(entry.path(), ec);
        }
    }
    return outcomes;
}

} // namespace freshgate
