#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

namespace freshgate::test {

// The whole file; empty when it cannot be read.
[[nodiscard]] QByteArray readFile(const QString &path);

// size bytes that no compression shrinks, the same for the same seed.
[[nodiscard]] QByteArray randomBytes(qsizetype size, quint32 seed = 1);

// size bytes of a fixed pattern that changes from byte to byte, so a lost or doubled stretch shows.
[[nodiscard]] QByteArray patternBytes(qsizetype size);

// Writes content to path, creating parent folders. executable sets all execute bits and clears
// them otherwise. False when the file cannot be written.
[[nodiscard]] bool writeFile(const QString &path, const QByteArray &content,
                             bool executable = false);

// The content of every file below root (hidden ones included), by relative path with "/".
[[nodiscard]] QMap<QString, QByteArray> fileContents(const QString &root);

// The names of the files directly in folder, hidden ones included, sorted.
[[nodiscard]] QStringList filesIn(const QString &folder);

enum class Snapshot { Contents, WithPermissions };

// Every entry under root by its relative path: "file:" plus the contents, "folder", "link:"
// plus the target, or "special" (a pipe, never opened: it would block). WithPermissions puts
// each entry's permission bits in front. Two snapshots compare equal when nothing under root
// changed.
[[nodiscard]] QMap<QString, QByteArray> snapshotTree(const QString &root,
                                                     Snapshot detail = Snapshot::Contents);

} // namespace freshgate::test
