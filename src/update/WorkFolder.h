#pragma once

#include <QString>

namespace freshgate {

// Makes sure the work folder exists and holds none of an earlier run's files.
// Only files are removed; a file that cannot be removed, or a folder that cannot
// be made, is skipped: the downloads that follow then fail on their own.
void prepareWorkFolder(const QString &workFolder);

} // namespace freshgate
