#include "protocol/Components.h"

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

QString serverUrl(const QString &base, const QString &file)
{
    return base + QLatin1Char('/') + QLatin1String(kServerFolder) + QLatin1Char('/') + file;
}

} // namespace freshgate
