#pragma once

#include "base/Result.h"
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

// Reads the server folder at path. A missing folder gives an empty state. Refuses
// (Usage) a symbolic link (replacing it would leave the folder it points to
// behind) or something that is not a folder; a manifest that cannot be read is
// this computer's failure, naming it.
[[nodiscard]] Result<ServerFolderState> readServerFolder(const QString &path);

// Puts the finished folder staged (a sibling of target) in place of target,
// which may be missing. Where the file system can exchange two names the swap
// is one step, so the server never lacks the folder; elsewhere it takes two
// renames, the first undone if the second fails. On failure both folders are
// as they were, and the failure carries the system's reason and kind. On
// success the old folder is deleted; the result names what is left behind
// when that fails, and is empty otherwise.
[[nodiscard]] Result<QString> replaceFolder(const QString &staged, const QString &target);

} // namespace freshgate
