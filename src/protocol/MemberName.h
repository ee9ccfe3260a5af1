#pragma once

#include "base/Result.h"

#include <QString>

namespace freshgate {

// Turns the name of a cabinet member into a path relative to the folder it is
// extracted into, with "/" separators. Both "\" and "/" separate folders.
//
// Fails (kind Archive, the message saying why) for a name that could write outside
// that folder or cannot be a file name: empty, absolute ("\x", "/x"), carrying
// a drive ("C:x"), a UNC or device prefix, a ".." component, or an empty last
// component. "." components and repeated separators are dropped. The check is
// purely lexical and touches no file; the extractor and the publisher share it
// so a maker cannot publish what Freshgate would refuse.
//
// Names that Windows cannot hold are refused on every platform, so a published
// set installs the same everywhere: the characters :*?"<>| and control
// characters, components ending in "." or " ", and device names (CON, NUL,
// COM1, ... with or without an extension).
[[nodiscard]] Result<QString> safeMemberPath(const QString &name);

} // namespace freshgate
