#include "publish/Publisher.h"

#include "base/DurableFile.h"
#include "base/FileProbe.h"
#include "protocol/Components.h"
#include "protocol/Manifest.h"
#include "publish/PublishPlan.h"
#include "publish/ServerFolder.h"
#include "publish/Staging.h"
#include "trust/Minisign.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryDir>
#include <filesystem>

namespace freshgate {

namespace {

using namespace publishing;

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Paths as Qt writes them, so that a maker on Windows may give "C:\srv\www" and every path
// this run builds, compares and reports has one form.
PublishOptions withQtSeparators(PublishOptions options)
{
    options.outDir = QDir::fromNativeSeparators(options.outDir);
    for (std::optional<ComponentSource> *source :
         {&options.resource, &options.data, &options.help, &options.exe}) {
        if (*source) {
            (*source)->folder = QDir::fromNativeSeparators((*source)->folder);
        }
    }
    for (std::optional<QString> *path : {&options.fullExeFolder, &options.signingKey}) {
        if (*path) {
            **path = QDir::fromNativeSeparators(**path);
        }
    }
    return options;
}

Result<std::optional<minisign::SecretKey>> loadKey(const PublishOptions &options)
{
    if (!options.signingKey) {
        return std::optional<minisign::SecretKey>();
    }
    Result<minisign::SecretKey> key =
        minisign::loadSecretKey(*options.signingKey, options.signingPassword);
    if (!key) {
        return key.failure().within(
            QStringLiteral("cannot use the key %1").arg(shown(*options.signingKey)));
    }
    return std::optional<minisign::SecretKey>(std::move(key).value());
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

Status createRoot(const QString &outDir)
{
    std::error_code ec;
    std::filesystem::create_directory(toPath(outDir), ec);
    if (ec) {
        return fileFailure(ec, outDir, QStringLiteral("cannot create %1").arg(shown(outDir)));
    }
    return {};
}

Status lockRoot(QLockFile &lock, const QString &outDir)
{
    lock.setStaleLockTime(0);
    if (lock.tryLock(0)) {
        return {};
    }
    if (lock.error() == QLockFile::LockFailedError) {
        return fileFailure(
            FailureKind::Disk, outDir,
            QStringLiteral("another freshgate-publish is writing to %1").arg(shown(outDir)),
            QString());
    }
    // QLockFile tells no reason; trying to write there finds the system's.
    const QString doing = QStringLiteral("cannot write to %1").arg(shown(outDir));
    const Status probe = probeFolder(outDir);
    return probe ? fileFailure(FailureKind::Disk, outDir, doing, QString())
                 : probe.failure().within(doing);
}

// The web server must read what it serves: the old folder's permissions, or the usual ones
// for a new folder.
QFile::Permissions servedPermissions(const ServerFolderState &old, const QString &serverFolder)
{
    return old.exists ? QFileInfo(serverFolder).permissions()
                      : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                            QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
}

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

// Builds the new folder beside the old one and swaps it in.
Result<QStringList> stageAndSwap(const Plan &plan, const std::optional<minisign::SecretKey> &key,
                                 std::optional<qint64> expires, const QString &outDir,
                                 const ServerFolderState &old, QStringList &notes)
{
    const QString serverFolder = QDir(outDir).filePath(QLatin1String(kServerFolder));
    QTemporaryDir staging(QDir(outDir).filePath(QStringLiteral(".freshgate.new-XXXXXX")));
    if (!staging.isValid()) {
        return fileFailure(FailureKind::Disk, outDir,
                           QStringLiteral("cannot create a folder in %1").arg(shown(outDir)),
                           staging.errorString());
    }
    QFile::setPermissions(staging.path(), servedPermissions(old, serverFolder));

    Result<QStringList> report = fillStaging(plan, serverFolder, staging.path(), serverFolder);
    if (!report) {
        return report.failure();
    }
    if (key) {
        const Result<QStringList> signatures =
            signStaging(*key, plan, expires, staging.path(), serverFolder);
        if (!signatures) {
            return signatures.failure();
        }
        report.value() << *signatures;
    }
    const Result<QString> leftover = replaceFolder(staging.path(), serverFolder);
    if (!leftover) {
        return leftover.failure();
    }
    staging.setAutoRemove(false);
    if (!leftover->isEmpty()) {
        notes << QStringLiteral("could not delete the old folder, now at %1").arg(shown(*leftover));
    }
    return report;
}

// Everything after the server root is locked: what the server holds decides the rest.
Result<PublishReport> publishLocked(const PublishOptions &options, Plan &plan,
                                    const std::optional<minisign::SecretKey> &key,
                                    const QString &outDir)
{
    const Result<ServerFolderState> old =
        readServerFolder(QDir(outDir).filePath(QLatin1String(kServerFolder)));
    if (!old) {
        return old.failure();
    }
    if (const Status settled = settle(options, *old, plan); !settled) {
        return settled.failure();
    }
    warnOfUnfetchedVersions(plan);

    std::optional<qint64> expires;
    if (options.validForDays) {
        expires = QDateTime::currentSecsSinceEpoch() + qint64{*options.validForDays} * 24 * 3600;
    }
    Result<QStringList> report = stageAndSwap(plan, key, expires, outDir, *old, plan.notes);
    if (!report) {
        return report.failure();
    }
    removeLeftovers(outDir);
    return PublishReport{std::move(report).value(), plan.notes, plan.warnings,
                         formatManifest(plan.fields)};
}

} // namespace

Result<PublishReport> publish(const PublishOptions &given)
{
    const PublishOptions options = withQtSeparators(given);
    Result<Plan> plan = planComponents(options);
    if (!plan) {
        return plan.failure();
    }
    const Result<std::optional<minisign::SecretKey>> key = loadKey(options);
    if (!key) {
        return key.failure();
    }

    const QString outDir = QDir::cleanPath(QFileInfo(options.outDir).absoluteFilePath());
    const bool created = !QFileInfo::exists(outDir);
    if (created) {
        if (const Status made = createRoot(outDir); !made) {
            return made.failure();
        }
    }
    CreatedFolder createdGuard(created ? outDir : QString());
    QLockFile lock(QDir(outDir).filePath(QStringLiteral(".freshgate-publish.lock")));
    if (const Status locked = lockRoot(lock, outDir); !locked) {
        return locked.failure();
    }
    Result<PublishReport> report = publishLocked(options, plan.value(), *key, outDir);
    if (report) {
        createdGuard.keep();
    }
    return report;
}

} // namespace freshgate
