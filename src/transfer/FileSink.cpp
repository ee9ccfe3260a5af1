#include "transfer/FileSink.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <filesystem>
#include <system_error>
#include <utility>

namespace freshgate {

namespace {

std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdU16String());
}

} // namespace

FileSink::FileSink(QString targetPath, qint64 maxBytes)
    : m_target(std::move(targetPath)), m_maxBytes(maxBytes)
{
}

FileSink::~FileSink()
{
    if (!m_committed)
        discard();
}

bool FileSink::open(QString *error)
{
    const QFileInfo target(m_target);
    if (target.isDir()) {
        *error = QStringLiteral("%1 is a folder").arg(m_target);
        return false;
    }
    // A random name, created exclusively, so two downloads to one folder never share a file and
    // nothing already there is overwritten before the body is complete.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name =
            QStringLiteral("%1.%2.part")
                .arg(target.fileName())
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        m_file.setFileName(target.dir().filePath(name));
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            break;
    }
    if (!m_file.isOpen()) {
        *error = QStringLiteral("cannot create a temporary file beside %1: %2")
                     .arg(m_target, m_file.errorString());
        return false;
    }
    m_created = true;
    const QStorageInfo storage(target.absolutePath());
    if (storage.isValid())
        m_freeBytes = storage.bytesAvailable();
    return true;
}

QString FileSink::refuse(qint64 totalBytes) const
{
    if (totalBytes > m_maxBytes)
        return QStringLiteral("download larger than the limit of %1 bytes").arg(m_maxBytes);
    if (m_freeBytes >= 0 && totalBytes > m_freeBytes)
        return QStringLiteral("download of %1 bytes does not fit in the %2 bytes free on the disk")
            .arg(totalBytes)
            .arg(m_freeBytes);
    return {};
}

bool FileSink::write(const char *data, qint64 size, QString *error)
{
    if (m_file.write(data, size) != size) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString());
        return false;
    }
    return true;
}

bool FileSink::commit(QString *error)
{
    m_file.close();
    std::error_code failure;
    std::filesystem::rename(nativePath(m_file.fileName()), nativePath(m_target), failure);
    if (failure) {
        *error = QStringLiteral("cannot rename %1 to %2: %3")
                     .arg(m_file.fileName(), m_target, QString::fromStdString(failure.message()));
        return false;
    }
    m_committed = true;
    return true;
}

void FileSink::discard()
{
    // Only a file this sink created; a failed open leaves someone else's name in m_file.
    if (!m_created)
        return;
    m_file.close();
    m_file.remove();
}

} // namespace freshgate
