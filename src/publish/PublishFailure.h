#pragma once

#include "base/Result.h"

#include <QString>

class QFileDevice;

namespace freshgate {

// How every step of the publisher says it failed. The steps below the tool say what happened
// and to which file; each caller adds what it was doing with Failure::within(); the tool prints
// the message whole.

// What the maker asked for, or handed over, that this tool will not publish: a bad version, a
// folder it cannot pack, a run that would strand clients (FailureKind::Usage).
[[nodiscard]] Failure refused(QString why);

// A file Qt could not open, read or write, doing being what was tried ("cannot write x"). Qt
// tells the reason in words only, so the kind comes from what else is known: no permission, a
// file system mounted read-only, or else Disk. The failure names the file.
[[nodiscard]] Failure qtFileFailure(const QFileDevice &file, const QString &doing);

} // namespace freshgate
