#include "transfer/BodySink.h"

#include "transfer/TransferRules.h"

namespace freshgate {

Status TextSink::refuse(qint64 totalBytes)
{
    if (totalBytes > m_maxBytes) {
        return failure(
            FailureKind::TooLarge,
            QStringLiteral("text body larger than the limit of %1 bytes").arg(m_maxBytes));
    }
    return {};
}

Status TextSink::write(const char *data, qint64 size)
{
    m_data.append(data, size);
    return {};
}

Status TextSink::restart()
{
    m_data.clear();
    return {};
}

QString TextSink::text() const
{
    return decodeResponseText(m_data);
}

} // namespace freshgate
