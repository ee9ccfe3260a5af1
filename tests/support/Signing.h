#pragma once

#include <QByteArray>
#include <QString>

namespace freshgate::test {

// The .minisig that `minisign -S -s secretKey -t comment` makes for content served as name;
// empty when minisign fails.
[[nodiscard]] QByteArray minisignSignature(const QString &secretKey, const QByteArray &content,
                                           const QString &name, const QString &comment);

// The trusted comment the publisher signs an archive with: the time now, the name, the version
// and the size.
[[nodiscard]] QString archiveComment(const QString &name, int version, qint64 size);

} // namespace freshgate::test
