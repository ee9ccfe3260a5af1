#pragma once

#include "settings/SettingsStore.h"

#include <QLatin1String>
#include <QString>

namespace freshgate {

// What the update server offers and how Freshgate and the publisher name it: one table, read by
// both programs, so the two can never disagree about a file name or a manifest field.

enum class Component { Resource, Data, Help, ExePatch, ExeFull };

// Where an archive of a component goes.
enum class Target { AppFolder, DataFolder, WorkFolder };

struct ComponentInfo {
    Component component;
    int row;                  // 1-based row of the progress list
    const char *name;         // for the log and the publisher's messages
    const char *serverFile;   // below <base>/freshgate/
    const char *localArchive; // in the work folder
    Target target;
    SettingKey versionKey; // where a client records the version it installed
    int manifestField;
};

[[nodiscard]] const ComponentInfo &componentInfo(Component component);

// The folder below the server's base URL, and the files in it that are not archives.
inline constexpr char kServerFolder[] = "freshgate";
inline constexpr char kManifestFile[] = "ov4arv.dat";
inline constexpr char kSignatureSuffix[] = ".minisig";
// What the program patch must bring, and what the full package must hold for Finish to start.
inline constexpr char kProductProgram[] = "Orvane4.exe";
inline constexpr char kSetupProgram[] = "setup.exe";

// <base>/freshgate/<file>
[[nodiscard]] QString serverUrl(const QString &base, const QString &file);

} // namespace freshgate
