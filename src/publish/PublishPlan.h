#pragma once

// Deciding what a publishing run writes, before it writes anything: the values and folders the
// maker gave, checked, and what the new server folder takes over from the old one. Internal to
// the publisher; reads, never writes.

#include "base/Result.h"
#include "protocol/Components.h"
#include "protocol/Manifest.h"
#include "publish/Publisher.h"
#include "publish/ServerFolder.h"
#include "publish/SourceFolder.h"

#include <QLatin1String>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace freshgate::publishing {

// The five cabinets a server folder can hold, in manifest order; the full package has no field
// of its own and announces the EXE version.
enum Slot { Resource, Data, Help, Exe, FullExe, SlotCount };

inline constexpr int kThresholdField = 4;

// Where a cabinet of the new folder comes from.
enum class Origin { None, New, Kept };

struct Plan {
    std::array<Origin, SlotCount> origin{};
    std::array<QList<SourceFile>, SlotCount> files;
    std::array<qint16, Manifest::kFields> fields{};
    // Why a version was not given but set by this run, leading its warning.
    std::array<QString, SlotCount> setBecause;
    QStringList notes;
    QStringList warnings;
};

// The option that names the slot on the command line ("--resource").
[[nodiscard]] QLatin1String optionOf(Slot slot);
// The cabinet's name on the server ("ov4res.cab").
[[nodiscard]] QString cabinetOf(Slot slot);
// What a report line says of the slot's cabinet ("help file version 5").
[[nodiscard]] QString describe(const Plan &plan, Slot slot);
// The version a cabinet carries, as the manifest offers it; none for a file that is no cabinet.
[[nodiscard]] std::optional<qint16> versionOf(const Plan &plan, const QString &cabinet);

// Everything that can be judged without the server folder: the values given and the folders
// to pack, each folder listed. Refuses (Usage) what the maker asked wrongly; a folder that
// cannot be read is this computer's failure.
[[nodiscard]] Result<Plan> planComponents(const PublishOptions &options);

// Decides what the new folder takes over from the old one, refusing a run after which clients
// that took the last one would stop updating, or that would lose files this tool does not
// manage.
[[nodiscard]] Status settle(const PublishOptions &options, const ServerFolderState &old,
                            Plan &plan);

// Adds a warning for each version that no client with the default settings fetches.
void warnOfUnfetchedVersions(Plan &plan);

} // namespace freshgate::publishing
