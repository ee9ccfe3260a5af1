#include "install/ProductRecord.h"

#include "base/DurableFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <array>

namespace freshgate {
namespace {

constexpr char kRecordFile[] = "Freshgate.installed";
// A record is a few lines; anything far larger is not one.
constexpr qint64 kMaxRecordBytes = qint64{4} * 1024 * 1024;
constexpr std::array<SettingKey, 4> kVersionKeys{SettingKey::ResourceVersion,
                                                 SettingKey::DataVersion, SettingKey::HelpVersion,
                                                 SettingKey::ExeVersion};

std::optional<QString> sha256Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return std::nullopt;
    }
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

QString ProductRecord::pathIn(const QString &appFolder)
{
    return QDir(appFolder).filePath(QLatin1String(kRecordFile));
}

ProductRecord ProductRecord::read(const QString &appFolder)
{
    ProductRecord record;
    QFile file(pathIn(appFolder));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxRecordBytes) {
        return record;
    }
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    for (const SettingKey key : kVersionKeys) {
        const QJsonObject entry = root.value(QLatin1String(settingInfo(key).name)).toObject();
        const int version = entry.value(QLatin1String("version")).toInt(-1);
        if (entry.isEmpty() || version < 0 || version > 32767) {
            continue;
        }
        Entry kept{static_cast<qint16>(version), {}};
        const QJsonObject files = entry.value(QLatin1String("files")).toObject();
        for (auto it = files.begin(); it != files.end(); ++it) {
            kept.files.insert(it.key(), it.value().toString());
        }
        record.m_entries.insert(static_cast<int>(key), kept);
    }
    return record;
}

std::optional<qint16> ProductRecord::version(SettingKey key) const
{
    const auto it = m_entries.constFind(static_cast<int>(key));
    if (it == m_entries.constEnd()) {
        return std::nullopt;
    }
    return it->version;
}

QList<VersionRecord> ProductRecord::versions() const
{
    QList<VersionRecord> records;
    for (const SettingKey key : kVersionKeys) {
        if (const std::optional<qint16> recorded = version(key)) {
            records.append({key, *recorded});
        }
    }
    return records;
}

Status ProductRecord::recordVersion(const QString &appFolder, const VersionRecord &version)
{
    m_entries.insert(static_cast<int>(version.key), Entry{version.version, {}});
    return write(appFolder);
}

Status ProductRecord::recordFiles(const QString &appFolder, SettingKey key,
                                  const QStringList &files)
{
    auto it = m_entries.find(static_cast<int>(key));
    if (it == m_entries.end()) {
        return failure(
            FailureKind::Usage,
            QStringLiteral("no version recorded for %1").arg(QLatin1String(settingInfo(key).name)));
    }
    it->files.clear();
    for (const QString &file : files) {
        const std::optional<QString> hash = sha256Of(QDir(appFolder).filePath(file));
        if (!hash) {
            return fileFailure(FailureKind::Disk, QDir(appFolder).filePath(file),
                               QStringLiteral("cannot read \"%1\"").arg(file), {});
        }
        it->files.insert(file, *hash);
    }
    return write(appFolder);
}

bool ProductRecord::filesPresent(const QString &appFolder, SettingKey key) const
{
    const auto it = m_entries.constFind(static_cast<int>(key));
    if (it == m_entries.constEnd() || it->files.isEmpty()) {
        return false;
    }
    for (auto file = it->files.constBegin(); file != it->files.constEnd(); ++file) {
        if (sha256Of(QDir(appFolder).filePath(file.key())) != file.value()) {
            return false;
        }
    }
    return true;
}

Status ProductRecord::write(const QString &appFolder) const
{
    QJsonObject root;
    for (const SettingKey key : kVersionKeys) {
        const auto it = m_entries.constFind(static_cast<int>(key));
        if (it == m_entries.constEnd()) {
            continue;
        }
        QJsonObject files;
        for (auto file = it->files.constBegin(); file != it->files.constEnd(); ++file) {
            files.insert(file.key(), file.value());
        }
        root.insert(QLatin1String(settingInfo(key).name),
                    QJsonObject{{QStringLiteral("version"), it->version},
                                {QStringLiteral("files"), files}});
    }
    return writeDurably(toPath(pathIn(appFolder)), QJsonDocument(root).toJson());
}

} // namespace freshgate
