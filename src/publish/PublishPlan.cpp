#include "publish/PublishPlan.h"

#include "protocol/Version.h"
#include "publish/PublishFailure.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace freshgate::publishing {

namespace {

// A component as the maker names it on the command line; the rest is the shared table's.
struct SlotInfo {
    QLatin1String option;
    QLatin1String label;
    Component component;
};

constexpr std::array<SlotInfo, SlotCount> kSlotTable{{
    {QLatin1String("--resource"), QLatin1String("resource file"), Component::Resource},
    {QLatin1String("--data"), QLatin1String("data files"), Component::Data},
    {QLatin1String("--helpfile"), QLatin1String("help file"), Component::Help},
    {QLatin1String("--exe"), QLatin1String("program EXE patch"), Component::ExePatch},
    {QLatin1String("--full-exe"), QLatin1String("full program package"), Component::ExeFull},
}};

constexpr std::array<Slot, 4> kVersionedSlots{Resource, Data, Help, Exe};
constexpr std::array<Slot, SlotCount> kAllSlots{Resource, Data, Help, Exe, FullExe};

// Freshgate finds these at the top of what it extracts: the set-up program it
// starts after a full package, and the program file a patch replaces.
const QString kSetupProgramName = QLatin1String(kSetupProgram);
const QString kProductProgramName = QLatin1String(kProductProgram);
const QString kSignatureExtension = QLatin1String(kSignatureSuffix);

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

const std::optional<ComponentSource> &sourceOf(const PublishOptions &options, Slot slot)
{
    switch (slot) {
    case Resource:
        return options.resource;
    case Data:
        return options.data;
    case Help:
        return options.help;
    default:
        return options.exe;
    }
}

std::optional<QString> folderOf(const PublishOptions &options, Slot slot)
{
    if (slot == FullExe) {
        return options.fullExeFolder;
    }
    const std::optional<ComponentSource> &source = sourceOf(options, slot);
    return source ? std::optional(source->folder) : std::nullopt;
}

Failure versionProblem(const QString &text, const QString &option)
{
    return refused(QStringLiteral("the version \"%1\" given with %2 is not a whole number from "
                                  "-32768 to 32767")
                       .arg(text, option));
}

bool hasTopLevelFile(const QList<SourceFile> &files, const QString &name)
{
    return std::any_of(files.begin(), files.end(),
                       [&name](const SourceFile &file) { return file.memberName == name; });
}

// The server root and the versions, as values.
Status checkValues(const PublishOptions &options, Plan &plan)
{
    if (options.outDir.isEmpty()) {
        return refused(QStringLiteral("give the server root with --out"));
    }
    const QFileInfo out(options.outDir);
    if (out.exists() && !out.isDir()) {
        return refused(QStringLiteral("%1 is not a folder").arg(shown(options.outDir)));
    }
    for (Slot slot : kVersionedSlots) {
        const auto &source = sourceOf(options, slot);
        if (!source) {
            continue;
        }
        const auto version = parseGivenVersion(source->version);
        if (!version) {
            return versionProblem(source->version, kSlotTable[slot].option);
        }
        plan.fields[slot] = *version;
    }
    if (options.fullThreshold) {
        const auto threshold = parseGivenVersion(*options.fullThreshold);
        if (!threshold) {
            return versionProblem(*options.fullThreshold, QStringLiteral("--full-threshold"));
        }
        plan.fields[kThresholdField] = *threshold;
    }
    return {};
}

// Options that cannot go together, or that need another.
Status checkCombinations(const PublishOptions &options)
{
    if (options.validForDays && !options.signingKey) {
        return refused(QStringLiteral("--valid-for is said in the manifest's signature; it needs "
                                      "--sign"));
    }
    if (options.validForDays &&
        (*options.validForDays < 1 || *options.validForDays > kMaxValidForDays)) {
        return refused(QStringLiteral("--valid-for takes a whole number of days from 1 to %1")
                           .arg(kMaxValidForDays));
    }
    if (options.dropSignatures && options.signingKey) {
        return refused(QStringLiteral("--unsigned publishes without signatures; it cannot go with "
                                      "--sign"));
    }
    if (options.withdrawFullExe && (options.fullExeFolder || options.fullThreshold)) {
        return refused(QStringLiteral("--no-full-exe withdraws the full package; it cannot go "
                                      "with --full-exe or --full-threshold"));
    }
    if (options.fullExeFolder && !options.fullThreshold) {
        return refused(QStringLiteral("--full-exe needs --full-threshold: the highest installed "
                                      "EXE version that must take the full package"));
    }
    if (!options.resource && !options.data && !options.help && !options.exe &&
        !options.fullExeFolder && !options.fullThreshold && !options.withdrawFullExe) {
        return refused(QStringLiteral("nothing to publish: give at least one component"));
    }
    return {};
}

// Lists each folder given, and checks that the EXE packages hold what Freshgate starts.
Status scanFolders(const PublishOptions &options, Plan &plan)
{
    for (Slot slot : kAllSlots) {
        const std::optional<QString> folder = folderOf(options, slot);
        if (!folder) {
            continue;
        }
        Result<QList<SourceFile>> files = scanSourceFolder(*folder);
        if (!files) {
            return files.failure().within(
                QStringLiteral("%1 %2").arg(kSlotTable[slot].option, shown(*folder)));
        }
        plan.files[slot] = std::move(files).value();
        plan.origin[slot] = Origin::New;
    }
    if (plan.origin[FullExe] == Origin::New &&
        !hasTopLevelFile(plan.files[FullExe], kSetupProgramName)) {
        return refused(QStringLiteral("the full package %1 has no %2 at its top; Freshgate starts "
                                      "that file after installing it")
                           .arg(shown(*options.fullExeFolder), kSetupProgramName));
    }
    if (plan.origin[Exe] == Origin::New && !hasTopLevelFile(plan.files[Exe], kProductProgramName)) {
        return refused(QStringLiteral("the EXE patch %1 has no %2 at its top; installing it would "
                                      "leave the product without its program")
                           .arg(shown(options.exe->folder), kProductProgramName));
    }
    return {};
}

// Every file the tool writes into the server folder, and so may replace.
QStringList managedNames()
{
    QStringList managed = {QLatin1String(kManifestFile)};
    for (const SlotInfo &slot : kSlotTable) {
        managed << QLatin1String(componentInfo(slot.component).serverFile);
    }
    for (const QString &name : QStringList(managed)) {
        managed << name + kSignatureExtension;
    }
    return managed;
}

Status checkManaged(const ServerFolderState &old)
{
    const QStringList managed = managedNames();
    for (const QString &entry : old.entries) {
        if (!managed.contains(entry)) {
            return refused(
                QStringLiteral("the server folder holds %1, which freshgate-publish does "
                               "not manage and would lose when it replaces the folder; "
                               "move it elsewhere first")
                    .arg(entry));
        }
    }
    return {};
}

// Clients that check signatures refuse an update without them.
Status checkSignatures(const PublishOptions &options, const ServerFolderState &old, Plan &plan)
{
    const QStringList signatures = old.entries.filter(kSignatureExtension);
    if (signatures.isEmpty() || options.signingKey) {
        return {};
    }
    if (!options.dropSignatures) {
        const QString held = signatures.size() == 1 ? signatures.first()
                                                    : QStringLiteral("%1 and %2 more")
                                                          .arg(signatures.first())
                                                          .arg(signatures.size() - 1);
        return refused(QStringLiteral("the server folder holds signatures (%1), and clients that "
                                      "check them would refuse an unsigned update; give --sign "
                                      "KEY, or --unsigned to drop them on purpose")
                           .arg(held));
    }
    plan.notes << QStringLiteral("dropped the signatures the server held; clients that check "
                                 "signatures refuse this update");
    return {};
}

// Clients that installed a version never go back to a lower one.
Status checkRollbacks(const PublishOptions &options, const ServerFolderState &old, Plan &plan)
{
    for (Slot slot : kVersionedSlots) {
        if (plan.origin[slot] != Origin::New || !old.entries.contains(cabinetOf(slot)) ||
            !old.fields[slot] || plan.fields[slot] >= *old.fields[slot]) {
            continue;
        }
        const qint16 published = *old.fields[slot];
        if (!options.allowOlder) {
            return refused(QStringLiteral("%1 %2 is lower than version %3, which the server "
                                          "already offers, and clients that have %3 never go "
                                          "back; give --allow-older to roll back on purpose")
                               .arg(kSlotTable[slot].option)
                               .arg(plan.fields[slot])
                               .arg(published));
        }
        plan.notes << QStringLiteral("rolled the %1 back from version %2 to %3; clients that "
                                     "installed %2 keep it")
                          .arg(kSlotTable[slot].label)
                          .arg(published)
                          .arg(plan.fields[slot]);
    }
    return {};
}

// A component left out keeps what the server holds, or is announced as never published.
void keepOldComponents(const ServerFolderState &old, Plan &plan)
{
    for (Slot slot : kVersionedSlots) {
        if (plan.origin[slot] == Origin::New) {
            continue;
        }
        if (old.entries.contains(cabinetOf(slot))) {
            plan.origin[slot] = Origin::Kept;
            plan.fields[slot] = old.fields[slot].value_or(kUnpublishedVersion);
            if (!old.fields[slot]) {
                plan.setBecause[slot] =
                    QStringLiteral("the server's %1 had no readable version; it is now %2")
                        .arg(kSlotTable[slot].label)
                        .arg(kUnpublishedVersion);
            }
        } else {
            plan.fields[slot] = kUnpublishedVersion;
            plan.setBecause[slot] = QStringLiteral("no %1 published; its version is %2")
                                        .arg(kSlotTable[slot].label)
                                        .arg(kUnpublishedVersion);
        }
    }
}

// The full package shares the EXE version and brings the threshold.
Status settleFullPackage(const PublishOptions &options, const ServerFolderState &old, Plan &plan)
{
    const bool oldFull = old.entries.contains(cabinetOf(FullExe));
    if (plan.origin[FullExe] != Origin::New && !options.withdrawFullExe && oldFull) {
        plan.origin[FullExe] = Origin::Kept;
    }
    if (options.withdrawFullExe && oldFull) {
        plan.notes << QStringLiteral("withdrew the full program package");
    }
    if (options.fullThreshold && plan.origin[FullExe] == Origin::None) {
        return refused(QStringLiteral("--full-threshold needs a full package, and the server "
                                      "holds none: give --full-exe too"));
    }
    if (plan.origin[FullExe] == Origin::New && plan.origin[Exe] == Origin::None) {
        return refused(QStringLiteral("a full package needs an EXE version: give --exe with the "
                                      "patch as well"));
    }
    // Both EXE packages announce the one version in the manifest, so a new
    // patch version would relabel the full package already there.
    if (plan.origin[Exe] == Origin::New && plan.origin[FullExe] == Origin::Kept &&
        old.fields[Exe] != plan.fields[Exe]) {
        return refused(QStringLiteral("the server's full package was published for EXE version "
                                      "%1, not %2; give a new one with --full-exe and "
                                      "--full-threshold, or withdraw it with --no-full-exe")
                           .arg(old.fields[Exe] ? QString::number(*old.fields[Exe])
                                                : QStringLiteral("(unreadable)"))
                           .arg(plan.fields[Exe]));
    }
    if (options.fullThreshold) {
        return {};
    }
    if (plan.origin[FullExe] == Origin::Kept && old.fields[kThresholdField]) {
        plan.fields[kThresholdField] = *old.fields[kThresholdField];
        return {};
    }
    plan.fields[kThresholdField] = kNoFullPackageThreshold;
    if (plan.origin[FullExe] == Origin::Kept) {
        plan.notes << QStringLiteral("the server's full package had no readable threshold; it is "
                                     "now %1, so almost no installation takes it")
                          .arg(kNoFullPackageThreshold);
    }
    return {};
}

} // namespace

QLatin1String optionOf(Slot slot)
{
    return kSlotTable[slot].option;
}

QString cabinetOf(Slot slot)
{
    return QLatin1String(componentInfo(kSlotTable[slot].component).serverFile);
}

QString describe(const Plan &plan, Slot slot)
{
    if (slot == FullExe) {
        return QStringLiteral("full program package for EXE version %1, taken by installed "
                              "versions up to %2")
            .arg(plan.fields[Exe])
            .arg(plan.fields[kThresholdField]);
    }
    return QStringLiteral("%1 version %2").arg(kSlotTable[slot].label).arg(plan.fields[slot]);
}

std::optional<qint16> versionOf(const Plan &plan, const QString &cabinet)
{
    for (Slot slot : kAllSlots) {
        if (cabinetOf(slot) == cabinet) {
            return plan.fields[slot == FullExe ? Exe : slot];
        }
    }
    return std::nullopt;
}

Result<Plan> planComponents(const PublishOptions &options)
{
    Plan plan;
    if (Status values = checkValues(options, plan); !values) {
        return values.failure();
    }
    if (Status combinations = checkCombinations(options); !combinations) {
        return combinations.failure();
    }
    if (Status folders = scanFolders(options, plan); !folders) {
        return folders.failure();
    }
    return plan;
}

Status settle(const PublishOptions &options, const ServerFolderState &old, Plan &plan)
{
    if (Status managed = checkManaged(old); !managed) {
        return managed;
    }
    if (Status signatures = checkSignatures(options, old, plan); !signatures) {
        return signatures;
    }
    if (Status rollbacks = checkRollbacks(options, old, plan); !rollbacks) {
        return rollbacks;
    }
    keepOldComponents(old, plan);
    return settleFullPackage(options, old, plan);
}

void warnOfUnfetchedVersions(Plan &plan)
{
    for (Slot slot : kVersionedSlots) {
        const std::optional<qint16> fallback = parseVersion(
            QString::fromLatin1(settingInfo(versionKey(kSlotTable[slot].component)).fallback));
        if (!fallback || plan.fields[slot] > *fallback) {
            continue;
        }
        const QString lead =
            plan.setBecause[slot].isEmpty()
                ? QStringLiteral("%1 version %2").arg(kSlotTable[slot].label).arg(plan.fields[slot])
                : plan.setBecause[slot];
        plan.warnings << QStringLiteral("%1, which does not exceed %2, the version a client "
                                        "assumes until its first update, so no client with the "
                                        "default settings fetches it")
                             .arg(lead)
                             .arg(*fallback);
    }
}

} // namespace freshgate::publishing
