#pragma once

#include "base/Result.h"

#include <QByteArray>
#include <QString>

namespace freshgate {

// Reads pages and pictures out of a compiled help (.chm) file. Any thread; no state is kept
// between calls, so the file is never held open (an update may replace it at any time).
class ChmFile {
public:
    // Largest object handed out; a page that claims more is refused rather than allocated.
    static constexpr qint64 kMaxObjectSize = qint64{16} * 1024 * 1024;

    // The object named pageName ("freshgate.htm", "/images/logo.gif"; "\" counts as "/"), or
    // why not when the file cannot be opened, the object is missing, too large or unreadable.
    // Never throws.
    [[nodiscard]] static Result<QByteArray> readObject(const QString &chmPath,
                                                       const QString &pageName);

    // The archive path chmlib looks up for a page name: rooted, "/" separated, no fragment or
    // query. Empty when the name cannot name an object (empty, or a bare folder).
    [[nodiscard]] static QByteArray objectPath(const QString &pageName);
};

} // namespace freshgate
