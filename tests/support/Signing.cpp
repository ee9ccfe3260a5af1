#include "support/Signing.h"

#include "support/Files.h"
#include "support/Process.h"

#include <QDateTime>
#include <QTemporaryDir>

namespace freshgate::test {

QByteArray minisignSignature(const QString &secretKey, const QByteArray &content,
                             const QString &name, const QString &comment)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    if (!writeFile(path, content) ||
        !runProcess(QStringLiteral("minisign"),
                    {QStringLiteral("-S"), QStringLiteral("-s"), secretKey, QStringLiteral("-m"),
                     path, QStringLiteral("-t"), comment})
             .succeeded()) {
        return {};
    }
    return readFile(path + QStringLiteral(".minisig"));
}

QString archiveComment(const QString &name, int version, qint64 size)
{
    return QStringLiteral("timestamp:%1\tfile:%2\tversion:%3\tsize:%4")
        .arg(QDateTime::currentSecsSinceEpoch())
        .arg(name)
        .arg(version)
        .arg(size);
}

} // namespace freshgate::test
