#include "update/UpdateRun.h"

#include "platform/CabinetExtractor.h"
#include "platform/CrashPoint.h"
#include "platform/StringTable.h"
#include "settings/SettingsStore.h"
#include "transfer/HttpTransfer.h"
#include "transfer/TransferRules.h"
#include "update/RunLog.h"
#include "update/UpdateView.h"
#include "update/Version.h"
#include "update/WorkFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace freshgate {
namespace {

// String table rows of the run.
enum Text : int {
    Checking = 447,
    ContactFailed = 448,
    NoUpdates = 449,
    NothingNewer = 450,
    Downloading = 451,
    Processing = 452,
    Failed = 453,
    Installed = 454,
    DoneRunProduct = 455,
    DoneRunSetup = 456,
};

constexpr int kRows = 4;

} // namespace

UpdateRun::UpdateRun(UpdateView &view, SettingsStore &settings, HttpTransfer &transfer,
                     QString appFolder, QString serverBase)
    : m_view(view), m_settings(settings), m_transfer(transfer), m_folders(std::move(appFolder)),
      m_serverBase(std::move(serverBase))
{
}

void UpdateRun::start()
{
    if (m_running) {
        return;
    }
    m_running = true;
    run();
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

void UpdateRun::setRow(int row, const char *iconKey, int statusId)
{
    const QString status = LoadResString(statusId);
    qCInfo(lcRun).noquote()
        << QStringLiteral("row %1: %2, \"%3\"").arg(row).arg(QLatin1String(iconKey), status);
    m_view.setRow(row, QLatin1String(iconKey), status);
}

void UpdateRun::setRowStatus(int row, int statusId)
{
    const QString status = LoadResString(statusId);
    qCInfo(lcRun).noquote() << QStringLiteral("row %1: \"%2\"").arg(row).arg(status);
    m_view.setRowStatus(row, status);
}

void UpdateRun::failContact()
{
    qCWarning(lcRun).noquote() << "could not reach the update server:"
                               << (m_failure.isEmpty() ? m_transfer.lastError() : m_failure);
    m_view.showWarning(LoadResString(ContactFailed));
    m_view.reEnable();
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
    setRow(1, "downloading", Checking);

    const QString text = fetchManifest();
    if (m_cancelled) {
        return;
    }
    if (text.isEmpty()) {
        failContact();
        return;
    }
    m_manifest = parseManifest(text);
    qCInfo(lcRun).noquote()
        << "manifest:"
        << QStringList(m_manifest.fields.begin(), m_manifest.fields.end()).join(QLatin1Char('*'));
    if (!m_manifest.offersAnyVersion()) {
        m_failure = QStringLiteral("the answer for %1 holds no version: not a manifest (a "
                                   "sign-in or error page?)")
                        .arg(QLatin1String(kManifestFile));
        failContact();
        return;
    }

    const std::array<std::pair<QString, QString>, kRows> offers{{
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
        for (int row = 1; row <= kRows; ++row) {
            setRow(row, "tick", NoUpdates);
        }
        m_view.setExplanation(LoadResString(NothingNewer));
        m_view.setFinishTag(QStringLiteral("0"));
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

    const QString tag = m_view.finishTag();
    if (tag == QLatin1String("0")) {
        m_view.setExplanation(LoadResString(DoneRunProduct));
    } else if (tag == QLatin1String("1")) {
        m_view.setExplanation(LoadResString(DoneRunSetup));
    }
    m_transfer.cancel();
    m_view.enableFinish();
    qCInfo(lcRun) << "run complete; Finish starts"
                  << (tag == QLatin1String("1") ? "set-up" : "the product");
}

QString UpdateRun::fetchManifest()
{
    const QString manifest = QLatin1String(kManifestFile);
    if (!m_trustedKey) {
        return m_transfer.getUrlData(serverUrl(m_serverBase, manifest));
    }
    // A signature covers bytes, so the manifest comes down as a file, held to
    // the same size limit as text.
    const QString path = QDir(m_folders.workFolder()).filePath(manifest);
    const qint64 limit = m_transfer.maxDownloadBytes();
    m_transfer.setMaxDownloadBytes(m_transfer.maxTextBytes());
    const bool fetched = fetchTrusted(manifest, path);
    m_transfer.setMaxDownloadBytes(limit);
    if (!fetched) {
        return {};
    }
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? decodeResponseText(file.readAll()) : QString();
}

bool UpdateRun::fetchTrusted(const QString &serverFile, const QString &localPath)
{
    m_failure.clear();
    const QString url = serverUrl(m_serverBase, serverFile);
    if (m_transfer.getBinaryData(url, localPath) == 0) {
        return false;
    }
    if (!m_trustedKey) {
        return true;
    }
    const QString signaturePath = localPath + QStringLiteral(".minisig");
    QByteArray signature;
    if (m_transfer.getBinaryData(url + QStringLiteral(".minisig"), signaturePath) > 0) {
        QFile file(signaturePath);
        if (file.open(QIODevice::ReadOnly)) {
            signature = file.read(64 * 1024);
        }
    }
    const minisign::Verified verified =
        signature.isEmpty() ? minisign::Verified{false, QStringLiteral("no signature"), {}}
                            : minisign::verifyFile(*m_trustedKey, localPath, signature, serverFile);
    if (!verified.ok) {
        m_failure = QStringLiteral("refused %1: %2").arg(serverFile, verified.error);
        QFile::remove(localPath);
        return false;
    }
    qCInfo(lcRun).noquote()
        << QStringLiteral("signature of %1 is good (%2)").arg(serverFile, verified.trustedComment);
    return true;
}

UpdateRun::Step UpdateRun::fetch(const ComponentInfo &info)
{
    setRow(info.row, "downloading", Downloading);
    const bool fetched = fetchTrusted(QLatin1String(info.serverFile), m_folders.archivePath(info));
    if (m_cancelled) {
        return Step::EndRun;
    }
    if (!fetched) {
        failContact();
        return Step::EndRun;
    }
    setRowStatus(info.row, Processing);
    return Step::Done;
}

void UpdateRun::finish(const ComponentInfo &info, const ExtractResult &result,
                       const QString &offered)
{
    if (!result.ok) {
        qCWarning(lcRun).noquote()
            << QLatin1String(info.name) + QStringLiteral(" not installed: ") + result.error;
        setRow(info.row, "delete", Failed);
        return;
    }
    setRow(info.row, "save", Installed);
    // Only an offer that reads as a version is ever fetched, so this is that number
    // without the blanks or sign the manifest may have carried around it.
    const QString version = QString::number(parseVersion(offered).value_or(0));
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
    if (!result.recorded) {
        qCWarning(lcRun) << info.name << "installed, but its version could not be recorded";
    }
}

InstallNote UpdateRun::versionNote(const ComponentInfo &info, const QString &offered)
{
    // Only an offer that reads as a version is ever fetched, so this is that number.
    const QString version = QString::number(parseVersion(offered).value_or(0));
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
        const bool written = m_settings.write(key, version);
        stepDone("version recorded");
        return written;
    }
    qCWarning(lcRun).noquote() << "the journal's note" << note << "names no version to record";
    return false;
}

void UpdateRun::recordSetupStarted()
{
    if (!m_pendingSetupVersion) {
        return;
    }
    if (!m_settings.write(SettingKey::ExeVersion, *m_pendingSetupVersion)) {
        qCWarning(lcRun) << "set-up started, but the program version could not be recorded";
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
        setRow(info.row, "tick", NoUpdates);
        return Step::Done;
    }

    if (fetch(info) == Step::EndRun) {
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
        setRow(4, "tick", NoUpdates);
        return Step::Done;
    }
    const bool full = takesFullPackage(installed, m_manifest.fullPackageThreshold(), &why);
    qCInfo(lcRun).noquote() << QStringLiteral("program: ") + why;
    const ComponentInfo &info = componentInfo(full ? Component::ExeFull : Component::ExePatch);
    if (fetch(info) == Step::EndRun) {
        return Step::EndRun;
    }
    CabinetExtractor extractor(m_folders.workFolder());
    extractor.setCabinetFile(m_folders.archivePath(info));
    ExtractResult result;
    if (full) {
        result = extractor.extract(m_folders.workFolder());
        // Finish would start nothing from a package that brought no set-up program.
        if (result.ok && !QFileInfo(m_folders.setupProgram()).isFile()) {
            result.ok = false;
            result.error =
                QStringLiteral("the full package holds no %1").arg(QLatin1String(kSetupProgram));
        }
    } else {
        // The old program goes in the same step that brings the new one, so a
        // broken patch never leaves the product without its program.
        result = extractor.extract(m_folders.appFolder(), {QLatin1String(kProductProgram)},
                                   versionNote(info, offered));
    }
    // Finish starts set-up only when there is one to start.
    m_view.setFinishTag(full && result.ok ? QStringLiteral("1") : QStringLiteral("0"));
    finish(info, result, offered);
    return Step::Done;
}

} // namespace freshgate
