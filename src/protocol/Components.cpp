#include "protocol/Components.h"

#include <array>

namespace freshgate {
namespace {

constexpr std::array<ComponentInfo, 5> kComponents{{
    {Component::Resource, "resource file", "ov4res.cab", "resfile.cab", Target::AppFolder, 0},
    {Component::Data, "data files", "ov4data.cab", "datafile.cab", Target::DataFolder, 1},
    {Component::Help, "help file", "ov4help.cab", "helpfile.cab", Target::AppFolder, 2},
    {Component::ExePatch, "program patch", "ov4exe.cab", "exefile.cab", Target::AppFolder, 3},
    {Component::ExeFull, "program full package", "ov4fexe.cab", "fullexefile.cab",
     Target::WorkFolder, 3},
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
