#pragma once

#include <QByteArray>
#include <QString>

namespace freshgate {

// Where a response body goes while it arrives. Used on the transfer's thread only.
class BodySink {
public:
    virtual ~BodySink() = default;
    // Why a body of totalBytes cannot be taken (over a limit, no room); empty when it can. Asked
    // with the announced length up front and with the running count as chunks arrive; a sink
    // may remember the largest total it was asked about.
    [[nodiscard]] virtual QString refuse(qint64 totalBytes) = 0;
    // Takes the next chunk; false (and error filled) when it could not be kept.
    [[nodiscard]] virtual bool write(const char *data, qint64 size, QString *error) = 0;
};

// Collects a bounded body in memory and decodes it as text.
class TextSink final : public BodySink {
public:
    explicit TextSink(qint64 maxBytes) : m_maxBytes(maxBytes) {}
    [[nodiscard]] QString refuse(qint64 totalBytes) override;
    [[nodiscard]] bool write(const char *data, qint64 size, QString *error) override;
    // UTF-8 without a leading byte-order mark; Latin-1 when the bytes are not valid UTF-8.
    [[nodiscard]] QString text() const;

private:
    qint64 m_maxBytes;
    QByteArray m_data;
};

} // namespace freshgate
