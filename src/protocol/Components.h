#pragma once

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
    const char *name;         // for the log and the publisher's messages
    const char *serverFile;   // below <base>/freshgate/
    const char *localArchive; // in the work folder
    Target target;
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
// The product's resource file: with the program, what tells that a folder holds the product.
inline constexpr char kProductResources[] = "Orvane4.res";

// <base>/freshgate/<file>
[[nodiscard]] QString serverUrl(const QString &base, const QString &file);

} // namespace freshgate
