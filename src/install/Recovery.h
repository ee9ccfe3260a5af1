#pragma once

#include "install/FileSystem.h"
#include "install/VersionRecord.h"

#include <QList>
#include <QString>

namespace freshgate {

// What recovery found and did with one journal.
enum class Recovery {
    RolledForward, // its moves were on disk: its version was recorded, the journal retired
    RolledBack,    // it had not committed, or its version could not be recorded: undone
    SetAside,      // it could not be read, finished or undone: it and its backups went to ~kept
    Waiting,       // it could not even be set aside: it stays for the next start
};

struct Recovered {
    Recovery what;
    QString detail; // for the log: the destination, and what was done or could not be
};

// At start-up, before the work folder is emptied and before any version is read: finishes or
// undoes every installation whose journal is in workFolder, oldest first. A committed one is
// rolled forward: its version is recorded through record. One that is not, or whose version
// cannot be recorded, is undone. What cannot be done is set aside in ~kept for a person to look
// at, never deleted, and never stands in the way of a later installation: the component's
// version was not recorded, so the next run installs it again. Each outcome is logged.
QList<Recovered> recoverInstallations(const std::filesystem::path &workFolder,
                                      const VersionRecorder &record,
                                      FileSystem &files = FileSystem::real());

} // namespace freshgate
