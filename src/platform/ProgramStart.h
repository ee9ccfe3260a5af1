#pragma once

#include <QString>

namespace freshgate {

// Starts a program on its own, detached from this process, with workingFolder as
// its current folder. Where the file system keeps execute permissions, a program
// that lacks them gets them first (archives do not always carry them). Returns
// false, with the reason in *why, when the program is missing or would not start.
[[nodiscard]] bool startProgram(const QString &program, const QString &workingFolder,
                                QString *why = nullptr);

} // namespace freshgate
