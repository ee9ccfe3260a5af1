#pragma once

#include "base/Result.h"

#include <QByteArray>
#include <QString>

namespace freshgate {

// Where a response body goes while it arrives. Used on the transfer's thread only.
class BodySink {
public:
    virtual ~BodySink() = default;
    // Whether a body of totalBytes can be taken (not over a limit, room for it). Asked with the
    // announced length up front and with the running count as chunks arrive; a sink may
    // remember the largest total it was asked about.
    [[nodiscard]] virtual Status refuse(qint64 totalBytes) = 0;
    // Takes the next chunk.
    [[nodiscard]] virtual Status write(const char *data, qint64 size) = 0;
    // How many bytes of an earlier try are kept and may be continued; 0 for a sink that cannot
    // continue one.
    [[nodiscard]] virtual qint64 kept() const { return 0; }
    // Drops what an earlier try brought, so the body starts over.
    [[nodiscard]] virtual Status restart() = 0;
};

// Collects a bounded body in memory and decodes it as text.
class TextSink final : public BodySink {
public:
    explicit TextSink(qint64 maxBytes) : m_maxBytes(maxBytes) {}
    [[nodiscard]] Status refuse(qint64 totalBytes) override;
    [[nodiscard]] Status write(const char *data, qint64 size) override;
    [[nodiscard]] Status restart() override;
    // UTF-8 without a leading byte-order mark; Latin-1 when the bytes are not valid UTF-8.
    [[nodiscard]] QString text() const;

private:
    qint64 m_maxBytes;
    QByteArray m_data;
};

} // namespace freshgate
