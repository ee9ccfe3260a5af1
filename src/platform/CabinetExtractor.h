#pragma once

#include "base/Result.h"
#include "platform/MoveTransaction.h"

#include <QString>
#include <QStringList>
#include <functional>

namespace freshgate {

// What an extraction that went through did.
struct Extracted {
    int members = 0;
    // InstallNote::record said the note is recorded (or there was no note). Otherwise the
    // files are in place and the journal waits for the next start to record it.
    bool recorded = false;
};

// What the caller records once an extraction's files are on disk. The note goes into the
// journal, so that after a crash recoverInterruptedInstall() hands it to the same kind of
// function; record(note) returns true once the note is durably recorded. The journal and
// the replaced files are kept until it is.
struct InstallNote {
    QString note;
    std::function<bool(const QString &note)> record;
};

// Stands in for the platform's cabinet control: set the cabinet file, then extract it into a
// folder. GUI thread, synchronous, runs no event loop, never throws.
//
// Extraction is all or nothing. Every member name is checked with safeMemberPath() before
// anything is written; the members are then written into a staging folder inside the work
// folder, checked against the sizes the cabinet states, and only then moved into the
// destination through a journaled MoveTransaction: a failure at any point leaves the
// destination exactly as it was, and so does a crash once recovery has run.
class CabinetExtractor {
public:
    // Staging ("~staging") and backup ("~backup") folders and the journal ("~journal") are made
    // inside workFolder, which is created when missing, and are gone again when extract()
    // returns, unless the note could not be recorded.
    explicit CabinetExtractor(QString workFolder);

    void setCabinetFile(const QString &path);
    QString cabinetFile() const;
    // A file that must be at the top of the cabinet for the extraction to go ahead, its name
    // compared without regard to case, as Windows compares names; it is installed under this
    // spelling. Empty (the default) requires nothing.
    void setRequiredMember(const QString &name) { m_requiredMember = name; }
    QString workFolder() const;

    // Every member into destination (created when missing), nested folders included, replacing
    // files of the same name. alsoRemove: file names relative to destination that go in the
    // same transaction (a missing one is fine), so an old file disappears only when the new
    // set extracted whole. Members flagged executable get execute permission where the file
    // system has permissions. Refused while a journal of an earlier installation waits in the
    // work folder. A failure is of kind Archive when the cabinet is at fault (not a cabinet,
    // damaged, a member that may not be installed), Disk when the file system is.
    [[nodiscard]] Result<Extracted> extract(const QString &destination,
                                            const QStringList &alsoRemove = {},
                                            const InstallNote &note = {});

private:
    [[nodiscard]] Result<Extracted> run(const QString &destination, const QStringList &alsoRemove,
                                        const InstallNote &note);

    QString m_workFolder;
    QString m_cabinetFile;
    QString m_requiredMember;
};

// At start-up, before the work folder is emptied: rolls an installation that a crash
// interrupted forward (recording its note through record) or back, and says so in the log.
// A journal that cannot be read is logged and set aside with its backups, never deleted.
Recovery recoverInterruptedInstall(const QString &workFolder,
                                   const std::function<bool(const QString &note)> &record);

} // namespace freshgate
