#pragma once

#include "transfer/BodySink.h"

#include <QFile>
#include <functional>

namespace freshgate {

// How many bytes the disk that holds folder can still take; -1 when that cannot be told.
using FreeSpaceProbe = std::function<qint64(const QString &folder)>;
// The probe for real disks.
[[nodiscard]] qint64 freeSpaceOn(const QString &folder);

// Writes a body into a temporary file in the target's folder and puts it under the target's name
// only on commit(), so a partial body never appears there. The temporary file is removed on
// destruction unless committed. Not thread-safe. A failure of the disk is this computer's
// (NoSpace, ReadOnly, Denied or Disk) with the folder as its path, never the server's.
//
// Room on the disk: the archive is extracted next, beside it, so a download must leave room for
// that too. With N bytes in of an expected total T (the announced length, else what has come so
// far), the disk must keep free at least (T - N) + T + kFreeSpaceReserve: the rest of the
// download, the archive's size again for its extraction (what a stored cabinet takes; the
// extraction checks its own writes for the rest), and a reserve for the system and the product.
// Free space is measured when the file is opened and again after every kFreeSpaceRecheckBytes
// written (in between it is the last measure less what was written since), so a download of
// unknown length fails with "not enough free space on ..." long before the disk is full.
class FileSink final : public BodySink {
public:
    static constexpr qint64 kFreeSpaceReserve = qint64{64} * 1024 * 1024;
    static constexpr qint64 kFreeSpaceRecheckBytes = qint64{4} * 1024 * 1024;

    FileSink(QString targetPath, qint64 maxBytes, FreeSpaceProbe probe = freeSpaceOn);
    ~FileSink() override;
    FileSink(const FileSink &) = delete;
    FileSink &operator=(const FileSink &) = delete;

    // Creates the temporary file and measures the free space of its disk.
    [[nodiscard]] Status open();
    [[nodiscard]] Status refuse(qint64 totalBytes) override;
    [[nodiscard]] Status write(const char *data, qint64 size) override;
    [[nodiscard]] qint64 kept() const override { return m_written; }
    [[nodiscard]] Status restart() override;
    // Closes the temporary file and renames it over the target (replacing an older file).
    [[nodiscard]] Status commit();
    QString temporaryPath() const { return m_file.fileName(); }

private:
    void measureFreeSpace();
    // Why a write of size bytes took only `wrote` (-1: none): a full disk, a folder that can no
    // longer be written, or anything else, each with the folder as the place to see to.
    [[nodiscard]] Failure writeFailure(qint64 size, qint64 wrote) const;
    // Whether the disk can take the rest of the expected body and its extraction.
    [[nodiscard]] Status checkRoom() const;
    void discard();

    QString m_target;
    QString m_folder;
    qint64 m_maxBytes;
    FreeSpaceProbe m_probe;
    qint64 m_expected = 0;
    qint64 m_written = 0;
    qint64 m_freeBytes = -1; // at the last measure, -1 when unknown
    qint64 m_writtenAtMeasure = 0;
    QFile m_file;
    bool m_created = false;
    bool m_committed = false;
};

} // namespace freshgate
