#pragma once

#include "transfer/BodySink.h"

#include <QFile>

namespace freshgate {

// Writes a body into a temporary file in the target's folder and puts it under the target's name
// only on commit(), so a partial body never appears there. The temporary file is removed on
// destruction unless committed. Not thread-safe.
class FileSink final : public BodySink {
public:
    FileSink(QString targetPath, qint64 maxBytes);
    ~FileSink() override;
    FileSink(const FileSink &) = delete;
    FileSink &operator=(const FileSink &) = delete;

    // Creates the temporary file and notes the free space of its disk.
    [[nodiscard]] bool open(QString *error);
    [[nodiscard]] QString refuse(qint64 totalBytes) const override;
    [[nodiscard]] bool write(const char *data, qint64 size, QString *error) override;
    // Closes the temporary file and renames it over the target (replacing an older file).
    [[nodiscard]] bool commit(QString *error);
    QString temporaryPath() const { return m_file.fileName(); }

private:
    void discard();

    QString m_target;
    qint64 m_maxBytes;
    qint64 m_freeBytes = -1;
    QFile m_file;
    bool m_created = false;
    bool m_committed = false;
};

} // namespace freshgate
