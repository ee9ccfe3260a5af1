// The rules every cabinet writer applies to a member before it takes it, whichever library
// or system component then packs it.
#include "publish/CabinetWriter.h"

#include <QDir>
#include <QFileInfo>

namespace freshgate {

Status CabinetWriter::checkMember(bool written, const QString &memberName,
                                  const QString &sourcePath, qint64 bytesSoFar)
{
    if (written) {
        return failure(FailureKind::Usage, QStringLiteral("the cabinet has already been written"));
    }
    if (memberName.isEmpty()) {
        return failure(FailureKind::Usage, QStringLiteral("a cabinet member needs a name"));
    }
    // libgcab would write a longer one, which extractors then refuse or cut short.
    if (memberName.toUtf8().size() > kMaxNameBytes) {
        return failure(FailureKind::Archive,
                       QStringLiteral("\"%1\" is longer than the %2 bytes a cabinet member's name "
                                      "may have")
                           .arg(memberName)
                           .arg(kMaxNameBytes));
    }
    const QFileInfo source(sourcePath);
    if (!source.isFile()) {
        return fileFailure(
            FailureKind::Disk, sourcePath,
            QStringLiteral("cannot add %1").arg(QDir::toNativeSeparators(sourcePath)),
            QStringLiteral("not a regular file"));
    }
    if (bytesSoFar + source.size() > kMaxContentBytes) {
        return failure(FailureKind::Archive,
                       QStringLiteral("%1 would make the cabinet hold more than %2 bytes, the most "
                                      "one cabinet can carry")
                           .arg(QDir::toNativeSeparators(sourcePath))
                           .arg(kMaxContentBytes));
    }
    return {};
}

bool CabinetWriter::isAscii(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() > 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace freshgate
