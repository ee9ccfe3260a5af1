#pragma once

#include <QByteArray>
#include <QString>

struct mspack_system;

namespace freshgate {

// libmspack's file access through QFile. libmspack's own opens files with fopen(), which on
// Windows takes only names in the ANSI code page, so a product folder named outside it could
// not be read or written; through Qt every platform takes any name. File names given to
// libmspack with this system are UTF-8: make them with mspackFileName().
//
// The system is shared and stateless; any thread may use it. Returns nullptr when this build of
// libmspack was made for another size of file offsets, so it cannot be used at all.
[[nodiscard]] mspack_system *qtFileSystem();
[[nodiscard]] QByteArray mspackFileName(const QString &path);

} // namespace freshgate
