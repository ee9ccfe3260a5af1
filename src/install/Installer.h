#pragma once

#include "base/Result.h"
#include "install/FileSystem.h"
#include "install/VersionRecord.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace freshgate {

// What one component's installation asks for.
struct InstallRequest {
    QString cabinet;     // the downloaded archive
    QString destination; // the folder its members go into (created when missing)
    // File names below destination that go in the same step (a missing one is fine), so an old
    // file disappears only when the new set is in place whole.
    QStringList alsoRemove;
    // A member that must be at the top of the cabinet (see CabinetExtractor).
    QString requiredMember;
    // Recorded once the files are on disk, before the journal is retired; nothing for a
    // package whose version is recorded elsewhere.
    std::optional<VersionRecord> record;
};

struct Installed {
    int members = 0;
    // Where each member went, relative to the destination ("/"-separated).
    QStringList files;
};

// Installs a cabinet into a folder all or nothing: the members are extracted into the work
// folder's staging folder unflushed, the moves are planned and the destination's folders
// checked before anything moves, and then the files go into place through a journaled
// Transaction, the version is recorded, and the journal retired. A failure at any point leaves
// the destination exactly as it was, undone at once; a version that cannot be recorded undoes
// the installation too. Only when an undo itself fails does the journal wait for recovery at the
// next start; it never stands in the way of the next installation.
//
// GUI thread, synchronous. The failure says whose fault it is (the cabinet's: Archive; this
// computer's: NoSpace, ReadOnly, Denied, Disk, naming the folder or the settings file).
class Installer {
public:
    Installer(const QString &workFolder, VersionRecorder record,
              FileSystem &files = FileSystem::real());

    [[nodiscard]] Result<Installed> install(const InstallRequest &request);

private:
    [[nodiscard]] Result<Installed> run(const InstallRequest &request);

    QString m_workFolder;
    VersionRecorder m_record;
    FileSystem &m_files;
};

} // namespace freshgate
