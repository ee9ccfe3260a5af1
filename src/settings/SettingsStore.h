#pragma once

#include "base/Result.h"
#include "protocol/Components.h"

#include <QSettings>
#include <QString>
#include <memory>

namespace freshgate {

// The application name under which the product keeps its per-user settings.
inline constexpr char kSettingsApplication[] = "Velmora Orvane4";

// Every key Freshgate reads or writes.
enum class SettingKey {
    HttpTimeout,
    ResourceVersion,
    DataVersion,
    HelpVersion,
    ExeVersion,
    // With a key: the signing time of the newest manifest accepted, so an older one is refused.
    ManifestSignedAt,
    UpdateServer,
};

struct SettingInfo {
    SettingKey key;
    const char *section;
    const char *name;
    // What an absent or empty value stands for; the substitute is never written back.
    const char *fallback;
    // Whether Freshgate ever writes the key (the product owns the others).
    bool writtenByUs;
};

// The one table of keys, sections and defaults.
[[nodiscard]] const SettingInfo &settingInfo(SettingKey key);

// Where a client records the version of component it installed (both program packages share
// the program's key).
[[nodiscard]] SettingKey versionKey(Component component);

// The product's per-user settings store: an INI file in the user's configuration
// folder on Linux, the product's registry branch on Windows. All values are text;
// an absent key reads as "". GUI thread only; each write reaches the disk before
// write() returns, so a crash cannot lose a recorded version.
// The INI file is shared with the product: a write changes only its own key's line
// (see IniFile.h) and reads go through QSettings.
class SettingsStore {
public:
    // The product's store.
    SettingsStore();
    // The INI file at path instead (created by the first write), on every platform; on Windows
    // a path under HKEY_CURRENT_USER is that registry branch, so tests keep to a private one.
    explicit SettingsStore(const QString &path);
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    [[nodiscard]] QString read(const QString &section, const QString &key) const;
    // Creates the section and key as needed; false only when the value may not have
    // reached the disk (the store then holds what it held).
    [[nodiscard]] Status write(const QString &section, const QString &key, const QString &value);

    [[nodiscard]] QString read(SettingKey key) const;
    // The stored value, or the key's fallback when that is empty.
    [[nodiscard]] QString readOrDefault(SettingKey key) const;
    [[nodiscard]] Status write(SettingKey key, const QString &value);

    // Whether a write would reach the store, found without writing: for the INI file, that its
    // folder takes a new file and the file can be opened for writing; for the registry, that the
    // branch can be opened for writing. The failure is this computer's and names the store.
    [[nodiscard]] Status checkWritable() const;

    // Where the store lives, for messages and tests.
    [[nodiscard]] QString location() const;

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace freshgate
