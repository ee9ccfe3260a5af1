#include "transfer/FileSink.h"

#include "base/FileProbe.h"

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

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

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
        return fileFailure(FailureKind::Disk, m_target,
                           QStringLiteral("cannot download into \"%1\"").arg(native(m_target)),
                           QStringLiteral("it is a folder"));
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
        // QFile keeps no error number; creating a file there once more tells this computer's
        // reason (read-only, no permission) apart from anything else.
        if (const Status writable = probeFolder(m_folder); !writable) {
            return writable.failure();
        }
        return fileFailure(
            FailureKind::Disk, m_folder,
            QStringLiteral("cannot create a temporary file in \"%1\"").arg(native(m_folder)),
            m_file.errorString());
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
    if (const qint64 wrote = m_file.write(data, size); wrote != size) {
        return writeFailure(size, wrote);
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
        return fileFailure(FailureKind::Disk, m_folder,
                           QStringLiteral("cannot empty \"%1\"").arg(native(m_file.fileName())),
                           m_file.errorString());
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
    return fileFailure(FailureKind::NoSpace, m_folder,
                       QStringLiteral("not enough free space on %1 (needs %2 MB)")
                           .arg(native(m_folder))
                           .arg((needed + kMegabyte - 1) / kMegabyte),
                       {});
}

Failure FileSink::writeFailure(qint64 size, qint64 wrote) const
{
    const QString doing = QStringLiteral("cannot write \"%1\"").arg(native(m_file.fileName()));
    // QFile keeps no error number: a disk that cannot take what was being written is full.
    const qint64 freeBytes = m_probe ? m_probe(m_folder) : -1;
    if (freeBytes >= 0 && freeBytes < size + kMegabyte) {
        return fileFailure(FailureKind::NoSpace, m_folder, doing,
                           QStringLiteral("the disk is full (%1 bytes free)").arg(freeBytes));
    }
    // A file system made read-only meanwhile, or a folder whose permissions changed, shows in a
    // new file there.
    if (const Status writable = probeFolder(m_folder); !writable) {
        return fileFailure(writable.kind(), m_folder, doing, writable.message());
    }
    // A short write sets no error of its own.
    return fileFailure(FailureKind::Disk, m_folder, doing,
                       m_file.error() == QFileDevice::NoError
                           ? QStringLiteral("only %1 of %2 bytes could be written")
                                 .arg(std::max<qint64>(wrote, 0))
                                 .arg(size)
                           : m_file.errorString());
}

Status FileSink::commit()
{
    m_file.close();
    std::error_code error;
    std::filesystem::rename(nativePath(m_file.fileName()), nativePath(m_target), error);
    if (error) {
        return fileFailure(error, m_folder,
                           QStringLiteral("cannot rename \"%1\" to \"%2\"")
                               .arg(native(m_file.fileName()), native(m_target)));
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
