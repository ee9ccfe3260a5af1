#include "update/ElevatedInstall.h"

#include "base/DurableFile.h"
#include "install/Installer.h"
#include "install/ProductRecord.h"
#include "install/Recovery.h"
#include "protocol/Version.h"
#include "update/ProductFolders.h"
#include "update/RunLog.h"
#include "update/TrustRules.h"
#include "update/WorkFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace freshgate {
namespace {

constexpr qint64 kCopyChunk = qint64{1024} * 1024;

// Copies from into to, at most maxBytes. Only a plain file is read: a pipe or a device laid in
// its place would never end.
Status copyBounded(const QString &from, const QString &to, qint64 maxBytes)
{
    QFile source(from);
    if (!QFileInfo(from).isFile()) {
        return fileFailure(FailureKind::Disk, from, QStringLiteral("cannot read \"%1\"").arg(from),
                           QStringLiteral("no such file"));
    }
    if (!source.open(QIODevice::ReadOnly)) {
        return fileFailure(FailureKind::Disk, from, QStringLiteral("cannot read \"%1\"").arg(from),
                           source.errorString());
    }
    QFile target(to);
    if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return fileFailure(FailureKind::Disk, to, QStringLiteral("cannot write \"%1\"").arg(to),
                           target.errorString());
    }
    qint64 copied = 0;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(kCopyChunk);
        copied += chunk.size();
        if (chunk.isEmpty() || copied > maxBytes) {
            target.close();
            QFile::remove(to);
            return chunk.isEmpty() ? fileFailure(FailureKind::Disk, from,
                                                 QStringLiteral("cannot read \"%1\"").arg(from),
                                                 source.errorString())
                                   : failure(FailureKind::TooLarge,
                                             QStringLiteral("\"%1\" is larger than %2 bytes")
                                                 .arg(from)
                                                 .arg(maxBytes));
        }
        if (target.write(chunk) != chunk.size()) {
            const QString why = target.errorString();
            target.close();
            QFile::remove(to);
            return fileFailure(FailureKind::Disk, to, QStringLiteral("cannot write \"%1\"").arg(to),
                               why);
        }
    }
    return {};
}

// The checks of the caller's download, made again on the copy only this step can change.
Status verifyCopy(const QList<minisign::PublicKey> &keys, const ComponentInfo &info,
                  const QString &archive, const QString &offered)
{
    QFile signatureFile(archive + QLatin1String(kSignatureSuffix));
    const QByteArray text = signatureFile.open(QIODevice::ReadOnly)
                                ? signatureFile.read(minisign::kMaxSignatureBytes + 1)
                                : QByteArray();
    signatureFile.close();
    signatureFile.remove();
    const Result<minisign::SignedComment> signature =
        minisign::verifyComment(keys, text, QLatin1String(info.serverFile));
    if (!signature) {
        return signature.failure();
    }
    const Result<minisign::CommentFields> fields = minisign::parseComment(signature->comment);
    if (!fields) {
        return fields.failure();
    }
    if (Status kept = checkArchiveFields(*fields, offered); !kept) {
        return kept;
    }
    const qint64 bytes = QFileInfo(archive).size();
    if (fields->size && bytes != *fields->size) {
        return refusal(
            Refusal::OtherSize,
            QStringLiteral("%1 bytes came, %2 were signed").arg(bytes).arg(*fields->size),
            QString::number(*fields->size), QString::number(bytes));
    }
    return minisign::verifyContent(*signature, archive);
}

class Step {
public:
    Step(const ElevatedInstallSetup &setup, const HandOverRequest &request)
        : m_setup(setup), m_request(request), m_folders(setup.appFolder),
          m_record(ProductRecord::read(setup.appFolder)),
          m_installer(m_folders.workFolder(), [this](const VersionRecord &version) {
              return m_record.recordVersion(m_setup.appFolder, version);
          })
    {
    }

    [[nodiscard]] Status prepare()
    {
        (void)recoverInstallations(toPath(m_folders.workFolder()),
                                   [this](const VersionRecord &version) {
                                       return m_record.recordVersion(m_setup.appFolder, version);
                                   });
        return prepareWorkFolder(m_folders.workFolder(), {QLatin1String(kHandOverFolder)});
    }

    [[nodiscard]] Status install(const HandOverItem &item)
    {
        const ComponentInfo &info = componentInfo(item.component);
        const QString archive =
            QDir(m_folders.workFolder()).filePath(QLatin1String(info.localArchive));
        Status done = staged(info, item.offered, archive);
        if (done) {
            done = put(info, item.offered, archive);
        }
        QFile::remove(archive);
        QFile::remove(archive + QLatin1String(kSignatureSuffix));
        if (!done) {
            return done.failure().within(
                QStringLiteral("installing %1").arg(QLatin1String(info.name)));
        }
        return {};
    }

private:
    // The archive and its signature copied in and proven the maker's, for the version offered.
    [[nodiscard]] Status staged(const ComponentInfo &info, const QString &offered,
                                const QString &archive)
    {
        const SettingKey key = versionKey(info.component);
        const std::optional<qint16> held = m_record.version(key);
        if (held && *held > parseVersion(offered).value_or(0)) {
            return failure(FailureKind::Archive,
                           QStringLiteral("the folder holds version %1, newer than the %2 offered")
                               .arg(*held)
                               .arg(offered));
        }
        const QDir from(m_request.archiveFolder);
        const QString name = QLatin1String(info.localArchive);
        if (Status copied = copyBounded(from.filePath(name), archive, m_setup.maxBytes); !copied) {
            return copied;
        }
        // Without its signature an archive is refused as one with a bad signature would be.
        if (const Status copied = copyBounded(from.filePath(name + QLatin1String(kSignatureSuffix)),
                                              archive + QLatin1String(kSignatureSuffix),
                                              minisign::kMaxSignatureBytes);
            !copied) {
            return refusal(Refusal::Invalid, copied.message())
                .within(QStringLiteral("refused %1").arg(QLatin1String(info.serverFile)));
        }
        if (const Status verified = verifyCopy(*m_setup.keys, info, archive, offered); !verified) {
            return verified.failure().within(
                QStringLiteral("refused %1").arg(QLatin1String(info.serverFile)));
        }
        qCInfo(lcRun).noquote() << "signature of" << info.serverFile << "is good here too";
        return {};
    }

    [[nodiscard]] Status put(const ComponentInfo &info, const QString &offered,
                             const QString &archive)
    {
        const bool patch = info.component == Component::ExePatch;
        const QString program = QLatin1String(kProductProgram);
        const QString destination = m_folders.folderFor(info.target);
        const VersionRecord version{versionKey(info.component), parseVersion(offered).value_or(0)};
        const Result<Installed> installed =
            m_installer.install({archive, destination, patch ? QStringList{program} : QStringList{},
                                 patch ? program : QString(), version});
        if (!installed) {
            return installed.failure();
        }
        QStringList files;
        for (const QString &file : installed->files) {
            files << QDir(m_setup.appFolder).relativeFilePath(QDir(destination).filePath(file));
        }
        // Without its files the record still holds the version; it only cannot vouch for them.
        if (const Status kept = m_record.recordFiles(m_setup.appFolder, version.key, files);
            !kept) {
            qCWarning(lcRun).noquote() << "cannot record the files installed:" << kept.message();
        }
        return {};
    }

    const ElevatedInstallSetup &m_setup;
    const HandOverRequest &m_request;
    ProductFolders m_folders;
    ProductRecord m_record;
    Installer m_installer;
};

} // namespace

HandOverExit runElevatedInstall(const ElevatedInstallSetup &setup, const QStringList &arguments)
{
    const Result<HandOverRequest> request = parseHandOver(arguments);
    if (!request) {
        qCWarning(lcRun).noquote() << "elevated install step refused:" << request.message();
        return HandOverExit::Refused;
    }
    qCInfo(lcRun).noquote() << "elevated install step for hand-over" << request->id << "in"
                            << QDir::toNativeSeparators(setup.appFolder);
    if (!setup.keys || !holdsProduct(setup.appFolder)) {
        qCWarning(lcRun).noquote() << "elevated install step refused:"
                                   << (setup.keys ? "no Orvane4 here" : "this build has no key");
        return HandOverExit::Refused;
    }
    Step step(setup, *request);
    const Status ready = step.prepare();
    QList<HandOverOutcome> outcomes;
    bool allInstalled = true;
    for (const HandOverItem &item : request->items) {
        const Status done = ready ? step.install(item) : ready;
        if (!done) {
            qCWarning(lcRun).noquote() << done.message();
            allInstalled = false;
        }
        outcomes.append({item.component, done ? std::nullopt : std::optional(done.failure())});
    }
    const QString work = ProductFolders(setup.appFolder).workFolder();
    QDir().mkpath(handOverFolder(work));
    if (const Status written = writeHandOverResult(handOverResultPath(work), request->id, outcomes);
        !written) {
        qCWarning(lcRun).noquote() << "cannot leave the result:" << written.message();
        return HandOverExit::SomeFailed;
    }
    return allInstalled ? HandOverExit::AllInstalled : HandOverExit::SomeFailed;
}

} // namespace freshgate
