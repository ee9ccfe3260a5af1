#include "transfer/FileSink.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace freshgate {

namespace {

std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdU16String());
}

constexpr qint64 kMegabyte = qint64{1024} * 1024;

} // namespace

qint64 freeSpaceOn(const QString &folder)
{
    const QStorageInfo storage(folder);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

FileSink::FileSink(QString targetPath, qint64 maxBytes, FreeSpaceProbe probe)
    : m_target(std::move(targetPath)), m_folder(QFileInfo(m_target).absolutePath()),
      m_maxBytes(maxBytes), m_probe(std::move(probe))
{
}

FileSink::~FileSink()
{
    if (!m_committed) {
        discard();
    }
}

Status FileSink::open()
{
    const QFileInfo target(m_target);
    if (target.isDir()) {
        return failure(FailureKind::Disk, QStringLiteral("%1 is a folder").arg(m_target));
    }
    // A random name, created exclusively, so two downloads to one folder never share a file and
    // nothing already there is overwritten before the body is complete.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name =
            QStringLiteral("%1.%2.part")
                .arg(target.fileName())
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        m_file.setFileName(target.dir().filePath(name));
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            break;
        }
    }
    if (!m_file.isOpen()) {
        return failure(FailureKind::Disk, QStringLiteral("cannot create a temporary file beside "
                                                         "%1: %2")
                                              .arg(m_target, m_file.errorString()));
    }
    m_created = true;
    measureFreeSpace();
    return {};
}

Status FileSink::refuse(qint64 totalBytes)
{
    if (totalBytes > m_maxBytes) {
        return failure(
            FailureKind::TooLarge,
            QStringLiteral("download larger than the limit of %1 bytes").arg(m_maxBytes));
    }
    m_expected = std::max(m_expected, totalBytes);
    return checkRoom();
}

Status FileSink::write(const char *data, qint64 size)
{
    if (m_file.write(data, size) != size) {
        return failure(
            FailureKind::Disk,
            QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString()));
    }
    m_written += size;
    m_expected = std::max(m_expected, m_written);
    // Other programs write to the disk too; a measure per few megabytes keeps it cheap.
    if (m_written - m_writtenAtMeasure >= kFreeSpaceRecheckBytes) {
        measureFreeSpace();
        return checkRoom();
    }
    return {};
}

Status FileSink::restart()
{
    if (m_written == 0) {
        m_expected = 0;
        return {};
    }
    if (!m_file.resize(0) || !m_file.seek(0)) {
        return failure(
            FailureKind::Disk,
            QStringLiteral("cannot empty %1: %2").arg(m_file.fileName(), m_file.errorString()));
    }
    m_written = 0;
    m_expected = 0;
    measureFreeSpace();
    return {};
}

void FileSink::measureFreeSpace()
{
    m_freeBytes = m_probe ? m_probe(m_folder) : -1;
    m_writtenAtMeasure = m_written;
}

Status FileSink::checkRoom() const
{
    if (m_freeBytes < 0) {
        return {};
    }
    const qint64 freeNow = m_freeBytes - (m_written - m_writtenAtMeasure);
    const qint64 needed = (m_expected - m_written) + m_expected + kFreeSpaceReserve;
    if (freeNow >= needed) {
        return {};
    }
    return failure(FailureKind::NoSpace, QStringLiteral("not enough free space on %1 (needs %2 MB)")
                                             .arg(QDir::toNativeSeparators(m_folder))
                                             .arg((needed + kMegabyte - 1) / kMegabyte));
}

Status FileSink::commit()
{
    m_file.close();
    std::error_code error;
    std::filesystem::rename(nativePath(m_file.fileName()), nativePath(m_target), error);
    if (error) {
        return failure(FailureKind::Disk, QStringLiteral("cannot rename %1 to %2: %3")
                                              .arg(m_file.fileName(), m_target,
                                                   QString::fromStdString(error.message())));
    }
    m_committed = true;
    return {};
}

void FileSink::discard()
{
    // Only a file this sink created; a failed open leaves someone else's name in m_file.
    if (!m_created) {
        return;
    }
    m_file.close();
    m_file.remove();
}

} // namespace freshgate
