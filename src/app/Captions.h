#pragma once

#include <QString>
#include <functional>

namespace freshgate {

using StringLookup = std::function<QString(int id)>;

// The window caption as stored names a string by its bare number ("443").
// Returns the stored caption unchanged when it is not such a number or the
// table has no row for it.
[[nodiscard]] QString localizedWindowCaption(const QString &stored, const StringLookup &lookup);

// A control caption as stored names a string as "_" followed by its number
// ("_445"). Anything else ("", "_", "_abc", "445") is shown as stored, and so
// is a number outside 16 bits or one the table does not hold.
[[nodiscard]] QString localizedControlCaption(const QString &stored, const StringLookup &lookup);

} // namespace freshgate
