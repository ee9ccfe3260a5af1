#pragma once

#include "base/Result.h"

#include <QString>

namespace freshgate {

// Starts a program on its own, detached from this process, with workingFolder as
// its current folder. Where the file system keeps execute permissions, a program
// that lacks them gets them first (archives do not always carry them). Fails when
// the program is missing or would not start.
[[nodiscard]] Status startProgram(const QString &program, const QString &workingFolder);

} // namespace freshgate
