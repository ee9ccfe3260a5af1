#pragma once

#include "base/Result.h"
#include "settings/SettingsStore.h"

#include <QString>
#include <functional>
#include <optional>

namespace freshgate {

// What an installation records once its files are on disk: the version of its component, under
// the component's key. It goes into the journal with the moves, so that recovery after a crash
// records the same thing.
struct VersionRecord {
    SettingKey key;
    qint16 version;

    friend bool operator==(const VersionRecord &, const VersionRecord &) = default;
};

// Records it durably; the failure names the settings store.
using VersionRecorder = std::function<Status(const VersionRecord &)>;

// Writes record into store as the number it is ("12"), a step for the crash seam.
[[nodiscard]] Status recordVersion(SettingsStore &store, const VersionRecord &record);

// "Data files version=7", the form the log names a record in (and the release before this one
// wrote into its journals); nothing for text that names no version key and version.
[[nodiscard]] QString recordText(const VersionRecord &record);
[[nodiscard]] std::optional<VersionRecord> parseRecordText(const QString &text);

} // namespace freshgate
