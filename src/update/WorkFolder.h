#pragma once

#include "base/Result.h"

#include <QString>
#include <QStringList>

namespace freshgate {

// Makes sure the work folder exists, can be written, and holds nothing of an earlier run: files
// and folders alike go, so an older package's files never sit beside a newer one's. Only what
// recovery keeps stays (a journal still pending with its backups, and journals set aside).
// Something that cannot be removed is logged and skipped; a work folder that cannot be made or
// written is this computer's failure, naming the folder. Run recoverInterruptedInstall() first.
// alsoKeep names more entries that stay.
[[nodiscard]] Status prepareWorkFolder(const QString &workFolder, const QStringList &alsoKeep = {});

} // namespace freshgate
