#pragma once

#include "protocol/Components.h"
#include "settings/SettingsStore.h"

#include <QString>

namespace freshgate {

// The folders of one installed product.
class ProductFolders {
public:
    explicit ProductFolders(QString appFolder);
    // With a work folder of the user's own, where the product's folder cannot be written.
    ProductFolders(QString appFolder, QString workFolder);

    [[nodiscard]] QString appFolder() const { return m_app; }
    // "Freshgate" below the application folder: downloads and the unpacked set-up.
    [[nodiscard]] QString workFolder() const;
    [[nodiscard]] QString folderFor(Target target) const;
    [[nodiscard]] QString archivePath(const ComponentInfo &info) const;
    [[nodiscard]] QString productProgram() const;
    [[nodiscard]] QString setupProgram() const;

private:
    QString m_app;
    QString m_work;
};

// Whether folder holds an installed product: its program, or failing that its resource file (a
// product whose program went missing can still be repaired by a full package). Freshgate writes
// nothing into a folder that holds neither.
[[nodiscard]] bool holdsProduct(const QString &folder);

// The update server's base URL: the "Update server" setting when it holds one,
// else the build's default; a trailing "/" is dropped.
[[nodiscard]] QString updateServerBase(const SettingsStore &settings, const QString &buildDefault);

} // namespace freshgate
