#include "update/ProductFolders.h"

#include <QDir>
#include <QFileInfo>

namespace freshgate {
ProductFolders::ProductFolders(QString appFolder)
    : m_app(std::move(appFolder)), m_work(QDir(m_app).filePath(QStringLiteral("Freshgate")))
{
}

ProductFolders::ProductFolders(QString appFolder, QString workFolder)
    : m_app(std::move(appFolder)), m_work(std::move(workFolder))
{
}

QString ProductFolders::workFolder() const
{
    return m_work;
}

QString ProductFolders::folderFor(Target target) const
{
    switch (target) {
    case Target::AppFolder:
        return m_app;
    case Target::DataFolder:
        return QDir(m_app).filePath(QStringLiteral("Data"));
    case Target::WorkFolder:
        return workFolder();
    }
    Q_UNREACHABLE();
}

QString ProductFolders::archivePath(const ComponentInfo &info) const
{
    return QDir(workFolder()).filePath(QLatin1String(info.localArchive));
}

QString ProductFolders::productProgram() const
{
    return QDir(m_app).filePath(QLatin1String(kProductProgram));
}

QString ProductFolders::setupProgram() const
{
    return QDir(workFolder()).filePath(QLatin1String(kSetupProgram));
}

bool holdsProduct(const QString &folder)
{
    const QDir dir(folder);
    return QFileInfo(dir.filePath(QLatin1String(kProductProgram))).isFile() ||
           QFileInfo(dir.filePath(QLatin1String(kProductResources))).isFile();
}

QString updateServerBase(const SettingsStore &settings, const QString &buildDefault)
{
    QString base = settings.read(SettingKey::UpdateServer).trimmed();
    if (base.isEmpty()) {
        base = buildDefault;
    }
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    return base;
}

} // namespace freshgate
