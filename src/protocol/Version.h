#pragma once

#include <QString>
#include <optional>

namespace freshgate {

// A version as the manifest and the settings store hold it: a whole number in
// -32768..32767. Blanks, tabs and line breaks around it are ignored, so a
// manifest that ends in a line break still reads; anything else is unparsable.
[[nodiscard]] std::optional<qint16> parseVersion(const QString &text);

// Whether a component must be fetched: the offered version is greater than the
// installed one. An unparsable offer never causes a download; an unparsable
// installed version against a valid offer counts as out of date, since
// installing repairs the store. *why says which case applied, for the log.
[[nodiscard]] bool isOutOfDate(const QString &installed, const QString &offered,
                               QString *why = nullptr);

// Whether the program update must take the full package rather than the patch:
// the installed version is at most the threshold. When either cannot be read
// the full package is the safe choice, since it needs nothing of the old program.
[[nodiscard]] bool takesFullPackage(const QString &installedExe, const QString &threshold,
                                    QString *why = nullptr);

} // namespace freshgate
