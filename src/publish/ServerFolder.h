#pragma once

#include "protocol/Manifest.h"

#include <QLatin1String>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace freshgate {

// A version as the publisher writes it: a whole decimal number from -32768 to
// 32767 with an optional leading "-", and nothing else, not even blanks.
[[nodiscard]] std::optional<qint16> parseGivenVersion(const QString &text);

// What an existing server folder holds: each manifest field that reads as a
// version (surrounding blanks ignored, as Freshgate ignores them) and the names
// of its entries.
struct ServerFolderState {
    bool exists = false;
    std::array<std::optional<qint16>, Manifest::kFields> fields;
    QStringList entries;
};

// Reads the server folder at path. A missing folder gives an empty state. Fails
// for a symbolic link (replacing it would leave the folder it points to
// behind), something that is not a folder, or an unreadable manifest.
[[nodiscard]] bool readServerFolder(const QString &path, ServerFolderState *state, QString *error);

// Puts the finished folder staged (a sibling of target) in place of target,
// which may be missing. Where the file system can exchange two names the swap
// is one step, so the server never lacks the folder; elsewhere it takes two
// renames, the first undone if the second fails. On failure both folders are
// as they were. On success the old folder is deleted; if that fails,
// *leftover names what is left behind.
[[nodiscard]] bool replaceFolder(const QString &staged, const QString &target, QString *leftover,
                                 QString *error);

} // namespace freshgate
