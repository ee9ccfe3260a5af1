#pragma once

#include "base/Result.h"

#include <QString>
#include <vector>

namespace freshgate {

// One member of a cabinet, written out whole.
struct StagedMember {
    QString staged; // its name in the staging folder ("/"-separated)
    QString rel;    // where it belongs below the destination: "/"-separated, checked safe
};

// Stands in for the platform's cabinet control: set the cabinet file, then extract it. What
// comes out goes into a staging folder, never straight into the product: moving it into place
// whole or not at all is the install's work. GUI thread, synchronous (see extract() for its one
// helper thread), never throws.
class CabinetExtractor {
public:
    void setCabinetFile(const QString &path) { m_cabinetFile = path; }
    [[nodiscard]] QString cabinetFile() const { return m_cabinetFile; }
    // A file that must be at the top of the cabinet, its name compared without regard to case,
    // as Windows compares names; it comes out under this spelling. Empty (the default) requires
    // nothing.
    void setRequiredMember(const QString &name) { m_requiredMember = name; }

    // Every member into stagingFolder (created when missing): under its own name, nested folders
    // and all, where no two names meet there as Windows compares names (so a folder new to the
    // destination can move in whole); else numbered in cabinet order, nested folders left to the
    // names. Every name is checked with safeMemberPath() before anything is
    // written, and every member against the size the cabinet states. Members flagged executable
    // get execute permission where the file system has permissions. Each staged file is made
    // anew: a name already taken in stagingFolder fails the extraction and that file stays as it
    // was. The files are written on a thread of the extractor's own while the next members are
    // decoded, all of them before this returns. A failure is of kind Archive
    // when the cabinet is at fault (not a cabinet, damaged, a member that may not be installed),
    // this computer's when the disk is; the staging folder may then hold part of the members.
    [[nodiscard]] Result<std::vector<StagedMember>> extract(const QString &stagingFolder);

private:
    QString m_cabinetFile;
    QString m_requiredMember;
};

} // namespace freshgate
