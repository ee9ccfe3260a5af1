#include "update/Components.h"

#include <QDir>
#include <array>

namespace freshgate {
namespace {

constexpr std::array<ComponentInfo, 5> kComponents{{
    {Component::Resource, 1, "resource file", "ov4res.cab", "resfile.cab", Target::AppFolder,
     SettingKey::ResourceVersion, 0},
    {Component::Data, 2, "data files", "ov4data.cab", "datafile.cab", Target::DataFolder,
     SettingKey::DataVersion, 1},
    {Component::Help, 3, "help file", "ov4help.cab", "helpfile.cab", Target::AppFolder,
     SettingKey::HelpVersion, 2},
    {Component::ExePatch, 4, "program patch", "ov4exe.cab", "exefile.cab", Target::AppFolder,
     SettingKey::ExeVersion, 3},
    {Component::ExeFull, 4, "program full package", "ov4fexe.cab", "fullexefile.cab",
     Target::WorkFolder, SettingKey::ExeVersion, 3},
}};

} // namespace

const ComponentInfo &componentInfo(Component component)
{
    for (const ComponentInfo &info : kComponents) {
        if (info.component == component) {
            return info;
        }
    }
    Q_UNREACHABLE();
}

ProductFolders::ProductFolders(QString appFolder) : m_app(std::move(appFolder)) {}

QString ProductFolders::workFolder() const
{
    return QDir(m_app).filePath(QStringLiteral("Freshgate"));
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

QString serverUrl(const QString &base, const QString &file)
{
    return base + QStringLiteral("/freshgate/") + file;
}

} // namespace freshgate
