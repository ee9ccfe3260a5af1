#include "transfer/TransferRules.h"

#include <QList>
#include <QStringDecoder>

namespace freshgate {

bool isSuccessStatus(int status)
{
    return status >= 200 && status <= 299;
}

qint64 announcedLength(const QByteArray &contentLength)
{
    if (contentLength.trimmed().isEmpty())
        return -1;
    qint64 length = -1;
    for (const QByteArray &value : contentLength.split(',')) {
        bool ok = false;
        const qint64 n = value.trimmed().toLongLong(&ok);
        if (!ok || n < 0 || (length >= 0 && n != length))
            return -1;
        length = n;
    }
    return length;
}

bool ReceiveProgress::advance(qint64 receivedBytes)
{
    if (m_total > 0) {
        const qint64 tenths = receivedBytes * 10 / m_total;
        if (tenths <= m_tenths || tenths >= 10)
            return false;
        m_tenths = tenths;
        return true;
    }
    if (receivedBytes < m_next || m_steps >= 10)
        return false;
    while (m_next <= receivedBytes)
        m_next *= 2;
    ++m_steps;
    return true;
}

QString decodeResponseText(const QByteArray &body)
{
    // Stateless, so a sequence cut off at the end counts as invalid too.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString decoded = utf8.decode(body);
    if (utf8.hasError())
        return QString::fromLatin1(body);
    return decoded;
}

QString amountText(qint64 bytes, qint64 total)
{
    const auto megabytes = [](qint64 count) {
        return QString::number(static_cast<double>(count) / 1e6, 'f', 1);
    };
    if (total < 0) {
        return QStringLiteral("%1 MB").arg(megabytes(bytes));
    }
    return QStringLiteral("%1 of %2 MB").arg(megabytes(bytes), megabytes(total));
}

} // namespace freshgate
