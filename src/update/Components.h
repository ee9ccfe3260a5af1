#pragma once

#include "settings/SettingsStore.h"

#include <QString>

namespace freshgate {

enum class Component { Resource, Data, Help, ExePatch, ExeFull };

// Where an archive of a component goes.
enum class Target { AppFolder, DataFolder, WorkFolder };

struct ComponentInfo {
    Component component;
    int row;                  // 1-based row of the progress list
    const char *name;         // for the log
    const char *serverFile;   // below <base>/freshgate/
    const char *localArchive; // in the work folder
    Target target;
    SettingKey versionKey;
    int manifestField;
};

[[nodiscard]] const ComponentInfo &componentInfo(Component component);

// The folders of one installed product.
class ProductFolders {
public:
    explicit ProductFolders(QString appFolder);

    [[nodiscard]] QString appFolder() const { return m_app; }
    // "Freshgate" below the application folder: downloads and the unpacked set-up.
    [[nodiscard]] QString workFolder() const;
    [[nodiscard]] QString folderFor(Target target) const;
    [[nodiscard]] QString archivePath(const ComponentInfo &info) const;
    [[nodiscard]] QString productProgram() const;
    [[nodiscard]] QString setupProgram() const;

private:
    QString m_app;
};

// The update server's base URL: the "Update server" setting when it holds one,
// else the build's default; a trailing "/" is dropped.
[[nodiscard]] QString updateServerBase(const SettingsStore &settings, const QString &buildDefault);

// <base>/freshgate/<file>
[[nodiscard]] QString serverUrl(const QString &base, const QString &file);

inline constexpr char kManifestFile[] = "ov4arv.dat";
inline constexpr char kProductProgram[] = "Orvane4.exe";
inline constexpr char kSetupProgram[] = "setup.exe";

} // namespace freshgate
