#pragma once

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

// Lists every file below folder, sorted by member name. Refuses, saying why in
// *error, a folder that is missing or empty, a symbolic link or special file
// anywhere below it, a name Freshgate would not extract or that another
// platform cannot store, and two names that differ only in case. Empty
// sub-folders are skipped: a cabinet holds files only. Reads, never writes.
[[nodiscard]] bool scanSourceFolder(const QString &folder, QList<SourceFile> *files,
                                    QString *error);

// Why a file with this folder-relative path ("/" between folders) cannot be a
// cabinet member, or an empty string when it can.
[[nodiscard]] QString memberPathProblem(const QString &relativePath);

} // namespace freshgate
