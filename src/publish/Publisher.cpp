#include "publish/Publisher.h"

#include "protocol/Components.h"
#include "protocol/Manifest.h"
#include "protocol/Version.h"
#include "publish/CabinetWriter.h"
#include "publish/ServerFolder.h"
#include "publish/SourceFolder.h"
#include "settings/SettingsStore.h"
#include "trust/Minisign.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryDir>
#include <array>

namespace freshgate {

namespace {

enum Slot { Resource, Data, Help, Exe, FullExe, SlotCount };

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

QString cabinetOf(Slot slot)
{
    return QLatin1String(componentInfo(kSlotTable[slot].component).serverFile);
}

constexpr int kThresholdField = 4;

// Freshgate finds these at the top of what it extracts: the set-up program it
// starts after a full package, and the program file a patch replaces.
const QString kSetupProgramName = QLatin1String(kSetupProgram);
const QString kProductProgramName = QLatin1String(kProductProgram);

const QString kSignatureExtension = QLatin1String(kSignatureSuffix);
const QString kManifestName = QLatin1String(kManifestFile);

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

bool fail(QString *error, const QString &text)
{
    *error = text;
    return false;
}

QString versionProblem(const QString &text, const QString &option)
{
    return QStringLiteral("the version \"%1\" given with %2 is not a whole number from -32768 to "
                          "32767")
        .arg(text, option);
}

bool hasTopLevelFile(const QList<SourceFile> &files, const QString &name)
{
    for (const SourceFile &file : files) {
        if (file.memberName == name) {
            return true;
        }
    }
    return false;
}

// Everything that can be judged without the server folder: the values given
// and the folders to pack. Reads, never writes.
bool checkOptions(const PublishOptions &options, Plan *plan, QString *error)
{
    if (options.outDir.isEmpty()) {
        return fail(error, QStringLiteral("give the server root with --out"));
    }
    const QFileInfo out(options.outDir);
    if (out.exists() && !out.isDir()) {
        return fail(error, QStringLiteral("%1 is not a folder").arg(options.outDir));
    }

    for (Slot slot : {Resource, Data, Help, Exe}) {
        const auto &source = sourceOf(options, slot);
        if (!source) {
            continue;
        }
        const auto version = parseGivenVersion(source->version);
        if (!version) {
            return fail(error, versionProblem(source->version, kSlotTable[slot].option));
        }
        plan->fields[slot] = *version;
    }
    if (options.fullThreshold) {
        const auto threshold = parseGivenVersion(*options.fullThreshold);
        if (!threshold) {
            return fail(error,
                        versionProblem(*options.fullThreshold, QStringLiteral("--full-threshold")));
        }
        plan->fields[kThresholdField] = *threshold;
    }

    if (options.validForDays && !options.signingKey) {
        return fail(error, QStringLiteral("--valid-for is said in the manifest's signature; it "
                                          "needs --sign"));
    }
    if (options.validForDays &&
        (*options.validForDays < 1 || *options.validForDays > kMaxValidForDays)) {
        return fail(error, QStringLiteral("--valid-for takes a whole number of days from 1 to %1")
                               .arg(kMaxValidForDays));
    }
    if (options.dropSignatures && options.signingKey) {
        return fail(error, QStringLiteral("--unsigned publishes without signatures; it cannot go "
                                          "with --sign"));
    }
    if (options.withdrawFullExe && (options.fullExeFolder || options.fullThreshold)) {
        return fail(error, QStringLiteral("--no-full-exe withdraws the full package; it cannot go "
                                          "with --full-exe or --full-threshold"));
    }
    if (options.fullExeFolder && !options.fullThreshold) {
        return fail(error,
                    QStringLiteral("--full-exe needs --full-threshold: the highest installed "
                                   "EXE version that must take the full package"));
    }
    if (!options.resource && !options.data && !options.help && !options.exe &&
        !options.fullExeFolder && !options.fullThreshold && !options.withdrawFullExe) {
        return fail(error, QStringLiteral("nothing to publish: give at least one component"));
    }

    for (Slot slot : {Resource, Data, Help, Exe, FullExe}) {
        const std::optional<QString> folder =
            slot == FullExe
                ? options.fullExeFolder
                : (sourceOf(options, slot) ? std::optional(sourceOf(options, slot)->folder)
                                           : std::nullopt);
        if (!folder) {
            continue;
        }
        QString why;
        if (!scanSourceFolder(*folder, &plan->files[slot], &why)) {
            return fail(error,
                        QStringLiteral("%1 %2: %3").arg(kSlotTable[slot].option, *folder, why));
        }
        plan->origin[slot] = Origin::New;
    }
    if (plan->origin[FullExe] == Origin::New &&
        !hasTopLevelFile(plan->files[FullExe], kSetupProgramName)) {
        return fail(error, QStringLiteral("the full package %1 has no %2 at its top; Freshgate "
                                          "starts that file after installing it")
                               .arg(*options.fullExeFolder, kSetupProgramName));
    }
    if (plan->origin[Exe] == Origin::New &&
        !hasTopLevelFile(plan->files[Exe], kProductProgramName)) {
        return fail(error, QStringLiteral("the EXE patch %1 has no %2 at its top; installing it "
                                          "would leave the product without its program")
                               .arg(options.exe->folder, kProductProgramName));
    }
    return true;
}

// Refuses a run after which clients that took the last one would stop
// updating: signatures dropped, or a version lowered, unless asked for.
bool keepsClientsWorking(const PublishOptions &options, const ServerFolderState &old, Plan *plan,
                         QString *error)
{
    const QStringList signatures = old.entries.filter(kSignatureExtension);
    if (!signatures.isEmpty() && !options.signingKey) {
        if (!options.dropSignatures) {
            return fail(error, QStringLiteral("the server folder holds signatures (%1), and "
                                              "clients that check them would refuse an unsigned "
                                              "update; give --sign KEY, or --unsigned to drop them "
                                              "on purpose")
                                   .arg(signatures.size() == 1 ? signatures.first()
                                                               : QStringLiteral("%1 and %2 more")
                                                                     .arg(signatures.first())
                                                                     .arg(signatures.size() - 1)));
        }
        plan->notes << QStringLiteral("dropped the signatures the server held; clients that check "
                                      "signatures refuse this update");
    }

    for (Slot slot : {Resource, Data, Help, Exe}) {
        if (plan->origin[slot] != Origin::New || !old.entries.contains(cabinetOf(slot)) ||
            !old.fields[slot]) {
            continue;
        }
        const qint16 published = *old.fields[slot];
        if (plan->fields[slot] < published) {
            if (!options.allowOlder) {
                return fail(error,
                            QStringLiteral("%1 %2 is lower than version %3, which the server "
                                           "already offers, and clients that have %3 never "
                                           "go back; give --allow-older to roll back on "
                                           "purpose")
                                .arg(kSlotTable[slot].option)
                                .arg(plan->fields[slot])
                                .arg(published));
            }
            plan->notes << QStringLiteral("rolled the %1 back from version %2 to %3; clients that "
                                          "installed %2 keep it")
                               .arg(kSlotTable[slot].label)
                               .arg(published)
                               .arg(plan->fields[slot]);
        }
    }
    return true;
}

// Decides what the new folder takes over from the old one.
bool settle(const PublishOptions &options, const ServerFolderState &old, Plan *plan, QString *error)
{
    QStringList managed = {kManifestName};
    for (const SlotInfo &slot : kSlotTable) {
        managed << QLatin1String(componentInfo(slot.component).serverFile);
    }
    for (const QString &name : QStringList(managed)) {
        managed << name + kSignatureExtension;
    }
    for (const QString &entry : old.entries) {
        if (!managed.contains(entry)) {
            return fail(error, QStringLiteral("the server folder holds %1, which freshgate-publish "
                                              "does not manage and would lose when it replaces the "
                                              "folder; move it elsewhere first")
                                   .arg(entry));
        }
    }

    if (!keepsClientsWorking(options, old, plan, error)) {
        return false;
    }

    for (Slot slot : {Resource, Data, Help, Exe}) {
        if (plan->origin[slot] == Origin::New) {
            continue;
        }
        if (old.entries.contains(cabinetOf(slot))) {
            plan->origin[slot] = Origin::Kept;
            plan->fields[slot] = old.fields[slot].value_or(kUnpublishedVersion);
            if (!old.fields[slot]) {
                plan->setBecause[slot] =
                    QStringLiteral("the server's %1 had no readable version; it is now %2")
                        .arg(kSlotTable[slot].label)
                        .arg(kUnpublishedVersion);
            }
        } else {
            plan->fields[slot] = kUnpublishedVersion;
            plan->setBecause[slot] = QStringLiteral("no %1 published; its version is %2")
                                         .arg(kSlotTable[slot].label)
                                         .arg(kUnpublishedVersion);
        }
    }

    const bool oldFull = old.entries.contains(cabinetOf(FullExe));
    if (plan->origin[FullExe] != Origin::New && !options.withdrawFullExe && oldFull) {
        plan->origin[FullExe] = Origin::Kept;
    }
    if (options.withdrawFullExe && oldFull) {
        plan->notes << QStringLiteral("withdrew the full program package");
    }

    if (options.fullThreshold && plan->origin[FullExe] == Origin::None) {
        return fail(error, QStringLiteral("--full-threshold needs a full package, and the server "
                                          "holds none: give --full-exe too"));
    }
    if (plan->origin[FullExe] == Origin::New && plan->origin[Exe] == Origin::None) {
        return fail(error,
                    QStringLiteral("a full package needs an EXE version: give --exe with the "
                                   "patch as well"));
    }
    // Both EXE packages announce the one version in the manifest, so a new
    // patch version would relabel the full package already there.
    if (plan->origin[Exe] == Origin::New && plan->origin[FullExe] == Origin::Kept &&
        old.fields[Exe] != plan->fields[Exe]) {
        return fail(error,
                    QStringLiteral("the server's full package was published for EXE version %1, "
                                   "not %2; give a new one with --full-exe and --full-threshold, "
                                   "or withdraw it with --no-full-exe")
                        .arg(old.fields[Exe] ? QString::number(*old.fields[Exe])
                                             : QStringLiteral("(unreadable)"))
                        .arg(plan->fields[Exe]));
    }

    if (!options.fullThreshold) {
        if (plan->origin[FullExe] == Origin::Kept && old.fields[kThresholdField]) {
            plan->fields[kThresholdField] = *old.fields[kThresholdField];
        } else {
            plan->fields[kThresholdField] = kNoFullPackageThreshold;
            if (plan->origin[FullExe] == Origin::Kept) {
                plan->notes << QStringLiteral("the server's full package had no readable "
                                              "threshold; it is now %1, so almost no installation "
                                              "takes it")
                                   .arg(kNoFullPackageThreshold);
            }
        }
    }
    return true;
}

// A client fetches a component only when the version offered exceeds the one
// its store records, which is the store's default until the first update.
void warnOfUnfetchedVersions(Plan *plan)
{
    for (Slot slot : {Resource, Data, Help, Exe}) {
        const std::optional<qint16> fallback = parseVersion(
            QString::fromLatin1(settingInfo(versionKey(kSlotTable[slot].component)).fallback));
        if (!fallback || plan->fields[slot] > *fallback) {
            continue;
        }
        const QString lead = plan->setBecause[slot].isEmpty() ? QStringLiteral("%1 version %2")
                                                                    .arg(kSlotTable[slot].label)
                                                                    .arg(plan->fields[slot])
                                                              : plan->setBecause[slot];
        plan->warnings << QStringLiteral("%1, which does not exceed %2, the version a client "
                                         "assumes until its first update, so no client with the "
                                         "default settings fetches it")
                              .arg(lead)
                              .arg(*fallback);
    }
}

QString manifestText(const Plan &plan)
{
    return formatManifest(plan.fields);
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

bool writeCabinet(const QList<SourceFile> &files, const QString &path, QString *error)
{
    CabinetWriter writer;
    for (const SourceFile &file : files) {
        CabinetWriter::Attributes attributes = CabinetWriter::Attribute::Archive;
        if (file.executable) {
            attributes |= CabinetWriter::Attribute::Executable;
        }
        if (!writer.addFile(file.memberName, file.path, attributes, error)) {
            return false;
        }
    }
    return writer.write(path, error);
}

// Fills the staging folder with the cabinets and, last, the manifest.
bool build(const Plan &plan, const QString &oldFolder, const QString &staging,
           const QString &finalFolder, QStringList *report, QString *error)
{
    for (Slot slot : {Resource, Data, Help, Exe, FullExe}) {
        const QString cabinet = cabinetOf(slot);
        const QString target = QDir(staging).filePath(cabinet);
        const QString shown = QDir(finalFolder).filePath(cabinet);
        if (plan.origin[slot] == Origin::New) {
            if (!writeCabinet(plan.files[slot], target, error)) {
                return false;
            }
            const qsizetype count = plan.files[slot].size();
            *report << QStringLiteral("wrote %1: %2, %3 %4")
                           .arg(shown, describe(plan, slot))
                           .arg(count)
                           .arg(count == 1 ? QStringLiteral("file") : QStringLiteral("files"));
        } else if (plan.origin[slot] == Origin::Kept) {
            const QString source = QDir(oldFolder).filePath(cabinet);
            QFile copy(source);
            if (!copy.copy(target)) {
                return fail(error,
                            QStringLiteral("cannot copy %1: %2").arg(source, copy.errorString()));
            }
            *report << QStringLiteral("kept %1: %2").arg(shown, describe(plan, slot));
        }
    }

    const QString text = manifestText(plan);
    QFile manifest(QDir(staging).filePath(kManifestName));
    if (!manifest.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        manifest.write(text.toLatin1()) != text.size() || !manifest.flush()) {
        return fail(
            error,
            QStringLiteral("cannot write %1: %2").arg(manifest.fileName(), manifest.errorString()));
    }
    manifest.close();
    *report << QStringLiteral("wrote %1: %2").arg(QDir(finalFolder).filePath(kManifestName), text);
    return true;
}

// The version a cabinet carries, as the manifest offers it.
std::optional<qint16> versionOf(const Plan &plan, const QString &cabinet)
{
    for (Slot slot : {Resource, Data, Help, Exe, FullExe}) {
        if (cabinetOf(slot) == cabinet) {
            return plan.fields[slot == FullExe ? Exe : slot];
        }
    }
    return std::nullopt;
}

// Signs every file of the staged folder, the manifest last as it names the rest. Each cabinet's
// signature names its version and size, so a client can tell it belongs to this manifest and
// stop a download at that size; the manifest's names when it expires, if it does.
bool sign(const minisign::SecretKey &key, const Plan &plan, std::optional<qint64> expires,
          const QString &staging, const QString &finalFolder, QStringList *report, QString *error)
{
    QStringList names = QDir(staging).entryList(QDir::Files, QDir::Name);
    names.removeAll(kManifestName);
    names << kManifestName;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const QString &name : names) {
        const QString path = QDir(staging).filePath(name);
        minisign::CommentFields fields;
        fields.timestamp = now;
        fields.file = name;
        if (name == kManifestName) {
            fields.expires = expires;
        } else if (const std::optional<qint16> version = versionOf(plan, name)) {
            fields.version = QString::number(*version);
            fields.size = QFileInfo(path).size();
        }
        const Result<QByteArray> signature = minisign::signFile(key, path, fields);
        if (!signature) {
            return fail(error, signature.message());
        }
        QFile out(path + kSignatureExtension);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
            out.write(*signature) != signature->size() || !out.flush()) {
            return fail(
                error,
                QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString()));
        }
        *report << QStringLiteral("signed %1").arg(QDir(finalFolder).filePath(name));
    }
    return true;
}

// Removes the server root again if this run created it and did not finish.
class CreatedFolder {
public:
    explicit CreatedFolder(QString path) : m_path(std::move(path)) {}
    ~CreatedFolder()
    {
        if (!m_path.isEmpty()) {
            QDir().rmdir(m_path);
        }
    }
    CreatedFolder(const CreatedFolder &) = delete;
    CreatedFolder &operator=(const CreatedFolder &) = delete;
    void keep() { m_path.clear(); }

private:
    QString m_path;
};

// Folders an interrupted run left behind; safe to remove while holding the lock.
void removeLeftovers(const QString &outDir)
{
    const QDir dir(outDir);
    const QStringList patterns = {QStringLiteral(".freshgate.new-*"),
                                  QStringLiteral(".freshgate.old-*")};
    for (const QString &name : dir.entryList(patterns, QDir::Dirs | QDir::Hidden)) {
        QDir(dir.filePath(name)).removeRecursively();
    }
}

} // namespace

PublishResult publish(const PublishOptions &options)
{
    PublishResult result;
    Plan plan;
    if (!checkOptions(options, &plan, &result.error)) {
        return result;
    }

    std::optional<minisign::SecretKey> key;
    if (options.signingKey) {
        Result<minisign::SecretKey> loaded =
            minisign::loadSecretKey(*options.signingKey, options.signingPassword);
        if (!loaded) {
            result.error = QStringLiteral("cannot use the key %1: %2")
                               .arg(*options.signingKey, loaded.message());
            return result;
        }
        key = std::move(loaded).value();
    }

    const QString outDir = QDir::cleanPath(QFileInfo(options.outDir).absoluteFilePath());
    const bool created = !QFileInfo::exists(outDir);
    if (created && !QDir().mkdir(outDir)) {
        result.error = QStringLiteral("cannot create %1").arg(outDir);
        return result;
    }
    CreatedFolder createdGuard(created ? outDir : QString());

    QLockFile lock(QDir(outDir).filePath(QStringLiteral(".freshgate-publish.lock")));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0)) {
        result.error =
            lock.error() == QLockFile::LockFailedError
                ? QStringLiteral("another freshgate-publish is writing to %1").arg(outDir)
                : QStringLiteral("cannot write to %1").arg(outDir);
        return result;
    }

    const QString serverFolder = QDir(outDir).filePath(QLatin1String(kServerFolder));
    ServerFolderState old;
    if (!readServerFolder(serverFolder, &old, &result.error) ||
        !settle(options, old, &plan, &result.error)) {
        return result;
    }
    warnOfUnfetchedVersions(&plan);

    QTemporaryDir staging(QDir(outDir).filePath(QStringLiteral(".freshgate.new-XXXXXX")));
    if (!staging.isValid()) {
        result.error =
            QStringLiteral("cannot create a folder in %1: %2").arg(outDir, staging.errorString());
        return result;
    }
    // The web server must read what it serves: the old folder's permissions, or
    // the usual ones for a new folder.
    const QFile::Permissions permissions =
        old.exists ? QFileInfo(serverFolder).permissions()
                   : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                         QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QFile::setPermissions(staging.path(), permissions);

    QStringList report;
    if (!build(plan, serverFolder, staging.path(), serverFolder, &report, &result.error)) {
        return result;
    }
    std::optional<qint64> expires;
    if (options.validForDays) {
        expires = QDateTime::currentSecsSinceEpoch() + qint64{*options.validForDays} * 24 * 3600;
    }
    if (key && !sign(*key, plan, expires, staging.path(), serverFolder, &report, &result.error)) {
        return result;
    }

    QString leftover;
    if (!replaceFolder(staging.path(), serverFolder, &leftover, &result.error)) {
        return result;
    }
    staging.setAutoRemove(false);
    createdGuard.keep();
    removeLeftovers(outDir);
    if (!leftover.isEmpty()) {
        plan.notes << QStringLiteral("could not delete the old folder, now at %1").arg(leftover);
    }

    result.ok = true;
    result.report = report;
    result.notes = plan.notes;
    result.warnings = plan.warnings;
    result.manifest = manifestText(plan);
    return result;
}

} // namespace freshgate
