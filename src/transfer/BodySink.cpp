#include "transfer/BodySink.h"

#include "transfer/TransferRules.h"

namespace freshgate {

QString TextSink::refuse(qint64 totalBytes)
{
    if (totalBytes > m_maxBytes)
        return QStringLiteral("text body larger than the limit of %1 bytes").arg(m_maxBytes);
    return {};
}

bool TextSink::write(const char *data, qint64 size, QString *)
{
    m_data.append(data, size);
    return true;
}

QString TextSink::text() const
{
    return decodeResponseText(m_data);
}

} // namespace freshgate
