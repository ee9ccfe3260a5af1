#pragma once

#include "base/Result.h"

#include <QList>
#include <QString>

namespace freshgate {

// One file of a maker's component folder, as it goes into a cabinet.
struct SourceFile {
    QString memberName; // folder-relative, "\" between folders
    QString path;       // where the content is read from
    qint64 size = 0;
    bool executable = false;
};

// Lists every file below folder, sorted by member name. Refuses (Usage) a folder that is missing
// or empty, a symbolic link or special file anywhere below it, a name that checkMemberPath
// refuses, and two names that differ only in case; a folder or file this user may not read is
// Denied, naming it. Empty sub-folders are skipped: a cabinet holds files only. Reads, never
// writes.
[[nodiscard]] Result<QList<SourceFile>> scanSourceFolder(const QString &folder);

// Whether a file with this folder-relative path ("/" between folders) can be a cabinet member:
// refused (Usage, naming the path) when Freshgate would not extract it or another platform
// cannot store it.
[[nodiscard]] Status checkMemberPath(const QString &relativePath);

} // namespace freshgate
