#include "update/UpdateRun.h"

#include "platform/CabinetExtractor.h"
#include "platform/CrashPoint.h"
#include "platform/StringTable.h"
#include "protocol/Version.h"
#include "settings/SettingsStore.h"
#include "transfer/HttpTransfer.h"
#include "transfer/TransferRules.h"
#include "update/Explanation.h"
#include "update/RunLog.h"
#include "update/TrustRules.h"
#include "update/UpdateView.h"
#include "update/WorkFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>

namespace freshgate {
namespace {

// The version an installed offer is recorded as. Only an offer that reads as a version is
// ever fetched, so this is that number without the blanks or sign the manifest may have
// carried around it.
QString recordedVersion(const QString &offered)
{
    return QString::number(parseVersion(offered).value_or(0));
}

// How the log names what a row shows.
const char *iconName(RowIcon icon)
{
    switch (icon) {
    case RowIcon::Downloading:
        return "downloading";
    case RowIcon::Tick:
        return "tick";
    case RowIcon::ClosedFolder:
        return "waiting";
    case RowIcon::Save:
        return "installed";
    case RowIcon::Delete:
        return "failed";
    }
    return "?";
}

} // namespace

UpdateRun::UpdateRun(UpdateView &view, SettingsStore &settings, HttpTransfer &transfer,
                     QString appFolder, QString serverBase)
    : m_view(view), m_settings(settings), m_transfer(transfer), m_folders(std::move(appFolder)),
      m_serverBase(std::move(serverBase))
{
    // The amount shows on the row of the archive being fetched; the manifest has no row.
    m_amountShown = QObject::connect(
        &m_transfer, &HttpTransfer::received, &m_transfer,
        [this](qint64 bytes, qint64 total) { showDownload(amountText(bytes, total)); });
    m_retryShown = QObject::connect(
        &m_transfer, &HttpTransfer::retrying, &m_transfer, [this](int next, int tries) {
            m_tryNote = QStringLiteral("(try %1 of %2)").arg(next).arg(tries);
            showDownload({});
        });
}

void UpdateRun::showDownload(const QString &amount)
{
    if (m_downloadRow <= 0) {
        return;
    }
    QStringList detail;
    if (!amount.isEmpty()) {
        detail << amount;
    }
    if (!m_tryNote.isEmpty()) {
        detail << m_tryNote;
    }
    setRowStatus(m_downloadRow, StringId::Downloading, detail.join(QLatin1Char(' ')));
}

UpdateRun::~UpdateRun()
{
    QObject::disconnect(m_amountShown);
    QObject::disconnect(m_retryShown);
}

FailureContext UpdateRun::failureContext(const QString &file) const
{
    return {file, QUrl(m_serverBase).host(),
            !m_settings.read(SettingKey::UpdateServer).trimmed().isEmpty(),
            m_transfer.requestTimeout()};
}

void UpdateRun::start()
{
    if (m_running) {
        return;
    }
    m_running = true;
    run();
    // Only a run that accepted the manifest has one to remember, whatever came after it.
    recordManifestTime();
    m_running = false;
}

void UpdateRun::cancel()
{
    if (!m_running || m_cancelled) {
        return;
    }
    qCInfo(lcRun) << "cancelled: the window is closing";
    m_cancelled = true;
    m_transfer.cancel();
}

void UpdateRun::setRow(int row, RowIcon icon, StringId status)
{
    qCInfo(lcRun).noquote() << QStringLiteral("row %1: %2, \"%3\"")
                                   .arg(row)
                                   .arg(QLatin1String(iconName(icon)), LoadResString(status));
    m_view.setRow(row, icon, status);
}

void UpdateRun::setRowStatus(int row, StringId status, const QString &detail)
{
    qCInfo(lcRun).noquote() << QStringLiteral("row %1: \"%2\"").arg(row).arg(LoadResString(status));
    m_view.setRowStatus(row, status, detail);
}

void UpdateRun::failContact(const Failure &why, const QString &file)
{
    qCWarning(lcRun).noquote() << "could not reach the update server:" << why.message;
    m_view.showWarning(StringId::ContactFailed, explain(why, failureContext(file)), why.message);
    m_view.ReEnable();
}

void UpdateRun::run()
{
    const QString resource = m_settings.readOrDefault(SettingKey::ResourceVersion);
    const QString data = m_settings.readOrDefault(SettingKey::DataVersion);
    const QString help = m_settings.readOrDefault(SettingKey::HelpVersion);
    const QString exe = m_settings.readOrDefault(SettingKey::ExeVersion);
    qCInfo(lcRun).noquote() << QStringLiteral(
                                   "installed: resource %1, data %2, help %3, program %4")
                                   .arg(resource, data, help, exe);

    // Before the work folder is emptied: it may hold the journal of a crashed installation.
    recoverInterruptedInstall(m_folders.workFolder(),
                              [this](const QString &note) { return recordNote(note); });
    prepareWorkFolder(m_folders.workFolder());

    m_view.setProgress(1);
    setRow(1, RowIcon::Downloading, StringId::Checking);

    const Result<QString> text = fetchManifest();
    if (m_cancelled) {
        return;
    }
    if (!text) {
        failContact(text.failure(), QLatin1String(kManifestFile));
        return;
    }
    m_manifest = parseManifest(*text);
    qCInfo(lcRun).noquote()
        << "manifest:"
        << QStringList(m_manifest.fields.begin(), m_manifest.fields.end()).join(QLatin1Char('*'));
    if (!m_manifest.offersAnyVersion()) {
        failContact(failure(FailureKind::Content,
                            QStringLiteral("the answer for %1 holds no version: not a manifest (a "
                                           "sign-in or error page?)")
                                .arg(QLatin1String(kManifestFile))),
                    {});
        return;
    }
    m_acceptedSignedAt = m_manifestSignedAt;

    const std::array<std::pair<QString, QString>, kTaskRows> offers{{
        {resource, m_manifest.resource()},
        {data, m_manifest.data()},
        {help, m_manifest.help()},
        {exe, m_manifest.exe()},
    }};
    bool anyNewer = false;
    for (const auto &[installed, offered] : offers) {
        if (isOutOfDate(installed, offered)) {
            anyNewer = true;
            break;
        }
    }

    if (!anyNewer) {
        qCInfo(lcRun) << "nothing newer on the server";
        for (int row = 1; row <= kTaskRows; ++row) {
            setRow(row, RowIcon::Tick, StringId::NoUpdates);
        }
        m_view.setExplanation(StringId::NothingNewer);
        m_view.setFinishMode(FinishMode::RunProduct);
        m_view.enableFinish();
        m_view.setProgress(100);
        return;
    }

    m_view.setProgress(20);
    const std::array<Component, 3> simple{Component::Resource, Component::Data, Component::Help};
    for (size_t i = 0; i < simple.size(); ++i) {
        if (installComponent(simple[i], offers[i].first, offers[i].second) == Step::EndRun) {
            return;
        }
        m_view.setProgress(40.0 + 20.0 * static_cast<double>(i));
    }
    if (installProgram(exe) == Step::EndRun) {
        return;
    }
    m_view.setProgress(100);

    const std::optional<FinishMode> mode = m_view.finishMode();
    if (mode == FinishMode::RunProduct) {
        m_view.setExplanation(StringId::DoneRunProduct);
    } else if (mode == FinishMode::RunSetup) {
        m_view.setExplanation(StringId::DoneRunSetup);
    }
    m_transfer.cancel();
    m_view.enableFinish();
    qCInfo(lcRun) << "run complete; Finish starts"
                  << (mode == FinishMode::RunSetup ? "set-up" : "the product");
}

Result<QString> UpdateRun::fetchManifest()
{
    const QString manifest = QLatin1String(kManifestFile);
    if (!m_trustedKeys) {
        Result<QString> text = m_transfer.getUrlData(serverUrl(m_serverBase, manifest));
        if (text && text->isEmpty()) {
            return failure(FailureKind::Content,
                           QStringLiteral("%1 is empty").arg(QLatin1String(kManifestFile)));
        }
        return text;
    }
    // A signature covers bytes, so the manifest comes down as a file, held to
    // the same size limit as text.
    const QString path = QDir(m_folders.workFolder()).filePath(manifest);
    const Result<minisign::CommentFields> fetched =
        fetchTrusted(manifest, path, m_transfer.maxTextBytes(), std::nullopt);
    if (!fetched) {
        return fetched.failure();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return failure(FailureKind::Disk,
                       QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    }
    const QString text = decodeResponseText(file.readAll());
    file.close();
    QFile::remove(path);
    m_manifestSignedAt = fetched->timestamp;
    return text;
}

Result<UpdateRun::CheckedSignature> UpdateRun::fetchSignature(const QString &serverFile,
                                                              const QString &localPath,
                                                              const std::optional<QString> &offered)
{
    const QString signatureFile = serverFile + QLatin1String(kSignatureSuffix);
    const QString signaturePath = localPath + QLatin1String(kSignatureSuffix);
    const Result<qint64> fetched = m_transfer.getBinaryData(
        serverUrl(m_serverBase, signatureFile), signaturePath, minisign::kMaxSignatureBytes);
    if (!fetched) {
        // A server without the signature, or with a flood in its place, is refused like a bad
        // signature; a server that could not be reached, or is busy, is just that.
        const int status = fetched.failure().httpStatus;
        if ((fetched.kind() == FailureKind::HttpStatus && (status == 404 || status == 410)) ||
            fetched.kind() == FailureKind::TooLarge) {
            return failure(
                FailureKind::Signature,
                QStringLiteral("no usable signature %1: %2").arg(signatureFile, fetched.message()));
        }
        return fetched.failure();
    }
    QFile file(signaturePath);
    const bool opened = file.open(QIODevice::ReadOnly);
    const QByteArray text = opened ? file.read(minisign::kMaxSignatureBytes + 1) : QByteArray();
    const QString why = file.errorString();
    file.close();
    // Read once; nothing of it stays in the work folder.
    QFile::remove(signaturePath);
    if (!opened) {
        return failure(FailureKind::Disk,
                       QStringLiteral("cannot read %1: %2").arg(signaturePath, why));
    }

    const Result<minisign::SignedComment> signature =
        minisign::verifyComment(*m_trustedKeys, text, serverFile);
    if (!signature) {
        return signature.failure();
    }
    const Result<minisign::CommentFields> fields = minisign::parseComment(signature->comment);
    if (!fields) {
        return fields.failure();
    }
    const Status kept =
        offered
            ? checkArchiveFields(*fields, *offered)
            : checkManifestFields(*fields,
                                  parseStoredTime(m_settings.read(SettingKey::ManifestSignedAt)),
                                  QDateTime::currentSecsSinceEpoch());
    if (!kept) {
        return kept.failure();
    }
    return CheckedSignature{*signature, *fields};
}

Result<minisign::CommentFields> UpdateRun::fetchTrusted(const QString &serverFile,
                                                        const QString &localPath, qint64 maxBytes,
                                                        const std::optional<QString> &offered)
{
    const auto refused = [&serverFile](Failure why) {
        why.message = QStringLiteral("refused %1: %2").arg(serverFile, why.message);
        return why;
    };
    // The signature comes first: what it promises is checked before a byte of the file
    // comes, and the size it names caps the download, so an endless or padded file fails
    // at that size instead of filling the disk up to the general limit.
    std::optional<minisign::SignedComment> signature;
    minisign::CommentFields fields;
    if (m_trustedKeys) {
        const Result<CheckedSignature> checked = fetchSignature(serverFile, localPath, offered);
        if (!checked) {
            return checked.kind() == FailureKind::Signature ? refused(checked.failure())
                                                            : checked.failure();
        }
        signature = checked->signature;
        fields = checked->fields;
        if (fields.size) {
            maxBytes = std::min(maxBytes, *fields.size);
        }
    }

    const Result<qint64> fetched =
        m_transfer.getBinaryData(serverUrl(m_serverBase, serverFile), localPath, maxBytes);
    m_downloadRow = 0;
    if (!fetched) {
        if (fetched.kind() == FailureKind::TooLarge && fields.size && maxBytes == *fields.size) {
            return refused(refusal(Refusal::OtherSize,
                                   QStringLiteral("larger than the %1 bytes signed (%2)")
                                       .arg(*fields.size)
                                       .arg(fetched.message()),
                                   QString::number(*fields.size)));
        }
        return fetched.failure();
    }
    // An empty file is never an archive or a manifest; the server lost it.
    if (*fetched == 0) {
        QFile::remove(localPath);
        return failure(FailureKind::Content, QStringLiteral("%1 is empty").arg(serverFile));
    }
    if (!signature) {
        return fields;
    }
    Status verified;
    if (fields.size && *fetched != *fields.size) {
        verified =
            refusal(Refusal::OtherSize,
                    QStringLiteral("%1 bytes came, %2 were signed").arg(*fetched).arg(*fields.size),
                    QString::number(*fields.size), QString::number(*fetched));
    } else {
        verified = minisign::verifyContent(*signature, localPath);
    }
    if (!verified) {
        QFile::remove(localPath);
        return refused(verified.failure());
    }
    qCInfo(lcRun).noquote()
        << QStringLiteral("signature of %1 is good (%2)").arg(serverFile, signature->comment);
    return fields;
}

UpdateRun::Step UpdateRun::fetch(const ComponentInfo &info, const QString &offered)
{
    setRow(info.row, RowIcon::Downloading, StringId::Downloading);
    m_downloadRow = info.row;
    m_tryNote.clear();
    const Result<minisign::CommentFields> fetched =
        fetchTrusted(QLatin1String(info.serverFile), m_folders.archivePath(info),
                     m_transfer.maxDownloadBytes(), offered);
    m_downloadRow = 0;
    if (m_cancelled) {
        return Step::EndRun;
    }
    if (!fetched) {
        // The row says why its archive was not taken, for whoever points at it.
        m_view.setRowTip(
            info.row, explain(fetched.failure(), failureContext(QLatin1String(info.serverFile))) +
                          QLatin1Char('\n') + fetched.message());
        failContact(fetched.failure(), QLatin1String(info.serverFile));
        return Step::EndRun;
    }
    setRowStatus(info.row, StringId::Processing, {});
    return Step::Done;
}

void UpdateRun::recordManifestTime()
{
    if (!m_trustedKeys || !m_acceptedSignedAt) {
        return;
    }
    const QString storedText = m_settings.read(SettingKey::ManifestSignedAt);
    const std::optional<qint64> stored = parseStoredTime(storedText);
    if (!stored && !storedText.trimmed().isEmpty()) {
        qCWarning(lcRun).noquote()
            << "the stored manifest time" << storedText << "is not a time; it is replaced";
    }
    const std::optional<qint64> time =
        timeToStore(m_acceptedSignedAt, stored, QDateTime::currentSecsSinceEpoch());
    if (!time) {
        return;
    }
    if (const Status written =
            m_settings.write(SettingKey::ManifestSignedAt, QString::number(*time));
        !written) {
        qCWarning(lcRun).noquote()
            << "cannot record the manifest's signing time:" << written.message();
    }
}

void UpdateRun::finish(const ComponentInfo &info, const Result<Extracted> &result,
                       const QString &offered)
{
    if (!result) {
        qCWarning(lcRun).noquote()
            << QLatin1String(info.name) + QStringLiteral(" not installed: ") + result.message();
        setRow(info.row, RowIcon::Delete, StringId::UpdateFailed);
        m_view.setRowTip(info.row,
                         explain(result.failure(), failureContext(QLatin1String(info.serverFile))) +
                             QLatin1Char('\n') + result.message());
        return;
    }
    setRow(info.row, RowIcon::Save, StringId::UpdateInstalled);
    const QString version = recordedVersion(offered);
    if (info.component == Component::ExeFull) {
        // The product is still the old one until its set-up has run: recording the
        // version now would hide the package from the next run.
        m_pendingSetupVersion = version;
        qCInfo(lcRun).noquote() << QStringLiteral(
                                       "program version %1 is recorded once set-up has started")
                                       .arg(version);
        return;
    }
    // The extractor recorded it through versionNote(), once the files were on disk.
    if (!result->recorded) {
        qCWarning(lcRun) << info.name << "installed, but its version could not be recorded";
    }
}

InstallNote UpdateRun::versionNote(const ComponentInfo &info, const QString &offered)
{
    const QString version = recordedVersion(offered);
    return {QLatin1String(settingInfo(info.versionKey).name) + u'=' + version,
            [this](const QString &note) { return recordNote(note); }};
}

bool UpdateRun::recordNote(const QString &note)
{
    const qsizetype equals = note.lastIndexOf(u'=');
    const QString name = note.left(equals);
    const QString version = note.mid(equals + 1);
    for (const SettingKey key : {SettingKey::ResourceVersion, SettingKey::DataVersion,
                                 SettingKey::HelpVersion, SettingKey::ExeVersion}) {
        if (equals < 0 || name != QLatin1String(settingInfo(key).name)) {
            continue;
        }
        if (!parseVersion(version)) {
            break;
        }
        const Status written = m_settings.write(key, version);
        stepDone("version recorded");
        if (!written) {
            qCWarning(lcRun).noquote() << "cannot record" << note << ":" << written.message();
        }
        return written.ok();
    }
    qCWarning(lcRun).noquote() << "the journal's note" << note << "names no version to record";
    return false;
}

void UpdateRun::recordSetupStarted()
{
    if (!m_pendingSetupVersion) {
        return;
    }
    if (const Status written = m_settings.write(SettingKey::ExeVersion, *m_pendingSetupVersion);
        !written) {
        qCWarning(lcRun).noquote()
            << "set-up started, but the program version could not be recorded:"
            << written.message();
    }
    m_pendingSetupVersion.reset();
}

UpdateRun::Step UpdateRun::installComponent(Component component, const QString &installed,
                                            const QString &offered)
{
    const ComponentInfo &info = componentInfo(component);
    QString why;
    const bool outOfDate = isOutOfDate(installed, offered, &why);
    qCInfo(lcRun).noquote() << QLatin1String(info.name) + QStringLiteral(": ") + why;
    if (!outOfDate) {
        setRow(info.row, RowIcon::Tick, StringId::NoUpdates);
        return Step::Done;
    }

    if (fetch(info, offered) == Step::EndRun) {
        return Step::EndRun;
    }
    CabinetExtractor extractor(m_folders.workFolder());
    extractor.setCabinetFile(m_folders.archivePath(info));
    finish(info,
           extractor.extract(m_folders.folderFor(info.target), {}, versionNote(info, offered)),
           offered);
    return Step::Done;
}

UpdateRun::Step UpdateRun::installProgram(const QString &installed)
{
    const QString &offered = m_manifest.exe();
    QString why;
    const bool outOfDate = isOutOfDate(installed, offered, &why);
    qCInfo(lcRun).noquote() << QStringLiteral("program: ") + why;
    if (!outOfDate) {
        setRow(componentInfo(Component::ExePatch).row, RowIcon::Tick, StringId::NoUpdates);
        return Step::Done;
    }
    const bool full = takesFullPackage(installed, m_manifest.fullPackageThreshold(), &why);
    qCInfo(lcRun).noquote() << QStringLiteral("program: ") + why;
    const ComponentInfo &info = componentInfo(full ? Component::ExeFull : Component::ExePatch);
    if (fetch(info, offered) == Step::EndRun) {
        return Step::EndRun;
    }
    CabinetExtractor extractor(m_folders.workFolder());
    extractor.setCabinetFile(m_folders.archivePath(info));
    Result<Extracted> result = failure(FailureKind::Archive, {});
    if (full) {
        result = extractor.extract(m_folders.workFolder());
        // Finish would start nothing from a package that brought no set-up program.
        if (result && !QFileInfo(m_folders.setupProgram()).isFile()) {
            result = failure(
                FailureKind::Archive,
                QStringLiteral("the full package holds no %1").arg(QLatin1String(kSetupProgram)));
        }
    } else {
        // The old program goes in the same step that brings the new one, so a
        // broken patch never leaves the product without its program; and a patch
        // that does not bring it (whatever the case of its name) is no patch.
        extractor.setRequiredMember(QLatin1String(kProductProgram));
        result = extractor.extract(m_folders.appFolder(), {QLatin1String(kProductProgram)},
                                   versionNote(info, offered));
    }
    // Finish starts set-up only when there is one to start.
    m_view.setFinishMode(full && result.ok() ? FinishMode::RunSetup : FinishMode::RunProduct);
    finish(info, result, offered);
    return Step::Done;
}

} // namespace freshgate
