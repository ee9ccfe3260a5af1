#pragma once

#include <QString>

namespace freshgate {

// Makes sure the work folder exists and holds nothing of an earlier run: files and folders
// alike go, so an older package's files never sit beside a newer one's. Only what recovery
// keeps stays (a journal still pending with its backups, and journals set aside). Something
// that cannot be removed, or a folder that cannot be made, is skipped: the downloads that
// follow then fail on their own. Run recoverInterruptedInstall() first.
void prepareWorkFolder(const QString &workFolder);

} // namespace freshgate
