#include "update/UpdateRun.h"

#include "base/DurableFile.h"
#include "base/FileProbe.h"
#include "install/Recovery.h"
#include "platform/StringTable.h"
#include "protocol/Version.h"
#include "settings/SettingsStore.h"
#include "transfer/HttpTransfer.h"
#include "transfer/TransferRules.h"
#include "update/ElevatedHandOver.h" // completes the hand-over for its owner's destructor
#include "update/RunLog.h"
#include "update/UpdateView.h"
#include "update/WorkFolder.h"

#include <QFileInfo>
#include <QUrl>
#include <algorithm>

namespace freshgate {
namespace {

// The version an installed offer is recorded as. Only an offer that reads as a version is
// ever fetched, so this is that number without the blanks or sign the manifest may have
// carried around it.
VersionRecord recordOf(const ComponentInfo &info, const QString &offered)
{
    return {versionKey(info.component), parseVersion(offered).value_or(0)};
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
      m_fetch(transfer, settings, std::move(serverBase))
{
    // The amount shows on the row of the archive being fetched; the manifest has no row.
    // The bar creeps with every state the transfer reports, as it always did.
    m_statesShown = QObject::connect(&m_transfer, &HttpTransfer::stateChanged, &m_transfer,
                                     [this](int state) { m_view.Inet1_StateChanged(state); });
    m_amountShown =
        QObject::connect(&m_transfer, &HttpTransfer::received, &m_transfer,
                         [this](qint64 bytes, qint64 total) { showDownload(bytes, total); });
    m_retryShown = QObject::connect(
        &m_transfer, &HttpTransfer::retrying, &m_transfer, [this](int next, int tries) {
            m_tryNote = QStringLiteral("(try %1 of %2)").arg(next).arg(tries);
            showDownload(-1, -1);
        });
}

UpdateRun::~UpdateRun()
{
    QObject::disconnect(m_statesShown);
    QObject::disconnect(m_amountShown);
    QObject::disconnect(m_retryShown);
}

void UpdateRun::showDownload(qint64 bytes, qint64 total)
{
    if (m_downloadRow <= 0) {
        return;
    }
    QStringList detail;
    if (bytes >= 0) {
        // The status column holds the amount or the total beside the try, not both.
        detail << amountText(bytes, m_tryNote.isEmpty() ? total : -1);
    }
    if (!m_tryNote.isEmpty()) {
        detail << m_tryNote;
    }
    setRowStatus(m_downloadRow, StringId::Downloading, detail.join(QLatin1Char(' ')));
}

FailureContext UpdateRun::failureContext(const QString &file) const
{
    return {file, QUrl(m_fetch.serverBase()).host(),
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
    m_fetch.recordManifestTime();
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

void UpdateRun::failRun(const Failure &why, const QString &file)
{
    qCWarning(lcRun).noquote() << "the run ends:" << why.message;
    m_view.showWarning(firstLine(why), explain(why, failureContext(file)), why.message);
    m_view.ReEnable();
}

void UpdateRun::failRow(int row, const Failure &why, const QString &file)
{
    qCWarning(lcRun).noquote() << QStringLiteral("%1 failed: %2").arg(taskName(row), why.message);
    setRow(row, RowIcon::Delete, StringId::UpdateFailed);
    // The row says why, for whoever points at it or selects it.
    m_view.setRowTip(row, explain(why, failureContext(file)));
    m_failures.append({row, why, file});
}

void UpdateRun::run()
{
    if (!prepare()) {
        return;
    }
    // Read only after recovery, which may have recorded what a crashed run installed.
    const QString resource = m_settings.readOrDefault(SettingKey::ResourceVersion);
    const QString data = m_settings.readOrDefault(SettingKey::DataVersion);
    const QString help = m_settings.readOrDefault(SettingKey::HelpVersion);
    const QString exe = m_settings.readOrDefault(SettingKey::ExeVersion);
    qCInfo(lcRun).noquote() << QStringLiteral(
                                   "installed: resource %1, data %2, help %3, program %4")
                                   .arg(resource, data, help, exe);

    m_view.setProgress(1);
    setRow(1, RowIcon::Downloading, StringId::Checking);
    const std::optional<Manifest> manifest = fetchManifest();
    if (!manifest) {
        return;
    }
    m_manifest = *manifest;

    const std::array<std::pair<QString, QString>, kTaskRows> offers{{
        {resource, m_manifest.resource()},
        {data, m_manifest.data()},
        {help, m_manifest.help()},
        {exe, m_manifest.exe()},
    }};
    if (std::none_of(offers.begin(), offers.end(),
                     [](const auto &offer) { return isOutOfDate(offer.first, offer.second); })) {
        qCInfo(lcRun) << "nothing newer on the server";
        for (int row = 1; row <= kTaskRows; ++row) {
            setRow(row, RowIcon::Tick, StringId::NoUpdates);
        }
        m_view.setExplanation(LoadResString(StringId::NothingNewer));
        m_view.setFinishMode(FinishMode::RunProduct);
        m_view.enableFinish();
        m_view.setProgress(100);
        return;
    }

    probe(offers, takesFullPackage(exe, m_manifest.fullPackageThreshold()));
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
    finishHandOver();
    end();
}

bool UpdateRun::prepare()
{
    chooseWorkFolder();
    m_installer.emplace(m_folders.workFolder(),
                        [this](const VersionRecord &version) { return record(version); });
    // Before the work folder is emptied: it may hold the journal of a crashed installation.
    (void)recoverInstallations(toPath(m_folders.workFolder()),
                               [this](const VersionRecord &version) { return record(version); });
    if (const Status prepared = prepareWorkFolder(m_folders.workFolder()); !prepared) {
        failRun(prepared.failure(), {});
        return false;
    }
    catchUp();
    return true;
}

std::optional<Manifest> UpdateRun::fetchManifest()
{
    const Result<QString> text = m_fetch.manifest(m_folders.workFolder());
    if (m_cancelled) {
        return std::nullopt;
    }
    if (!text) {
        failRun(text.failure(), QLatin1String(kManifestFile));
        return std::nullopt;
    }
    Manifest manifest = parseManifest(*text);
    qCInfo(lcRun).noquote()
        << "manifest:"
        << QStringList(manifest.fields.begin(), manifest.fields.end()).join(QLatin1Char('*'));
    if (!manifest.offersAnyVersion()) {
        failRun(failure(FailureKind::Content,
                        QStringLiteral("the answer for %1 holds no version: not a manifest (a "
                                       "sign-in or error page?)")
                            .arg(QLatin1String(kManifestFile))),
                {});
        return std::nullopt;
    }
    m_fetch.acceptManifest();
    return manifest;
}

void UpdateRun::probe(const std::array<std::pair<QString, QString>, kTaskRows> &offers, bool full)
{
    const std::array<Component, kTaskRows> components{
        Component::Resource, Component::Data, Component::Help,
        full ? Component::ExeFull : Component::ExePatch};
    const Status store = m_settings.checkWritable();
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (!isOutOfDate(offers.at(i).first, offers.at(i).second)) {
            continue;
        }
        const ComponentInfo &info = componentInfo(components.at(i));
        Status writable =
            handsOver(info) ? mayHandOver() : probeFolder(m_folders.folderFor(info.target));
        if (writable) {
            writable = store;
        }
        if (!writable) {
            m_blocked.insert(
                taskRow(info.component),
                writable.failure().within(
                    QStringLiteral("before installing %1").arg(taskName(taskRow(info.component)))));
        }
    }
}

void UpdateRun::end()
{
    m_view.setProgress(100);
    const std::optional<FinishMode> mode = m_view.finishMode();
    if (!m_failures.isEmpty() && mode) {
        m_view.setExplanation(partlyDoneCaption(*mode));
    } else if (mode == FinishMode::RunProduct) {
        m_view.setExplanation(LoadResString(StringId::DoneRunProduct));
    } else if (mode == FinishMode::RunSetup) {
        m_view.setExplanation(LoadResString(StringId::DoneRunSetup));
    }
    m_transfer.cancel();
    if (!m_failures.isEmpty()) {
        QStringList reasons;
        QStringList details;
        for (const RowFailure &failed : std::as_const(m_failures)) {
            reasons << taskName(failed.row) + QStringLiteral(": ") +
                           explain(failed.why, failureContext(failed.file));
            details << taskName(failed.row) + QStringLiteral(": ") + failed.why.message;
        }
        m_view.showWarning(partlyDoneFirstLine(), reasons.join(QStringLiteral("\n\n")),
                           details.join(QLatin1Char('\n')));
    }
    m_view.enableFinish();
    qCInfo(lcRun).noquote() << QStringLiteral("run complete, %1 failed; Finish starts %2")
                                   .arg(m_failures.size())
                                   .arg(mode == FinishMode::RunSetup
                                            ? QStringLiteral("set-up")
                                            : QStringLiteral("the product"));
}

UpdateRun::Step UpdateRun::fetch(const ComponentInfo &info, const QString &offered)
{
    setRow(taskRow(info.component), RowIcon::Downloading, StringId::Downloading);
    m_downloadRow = taskRow(info.component);
    m_tryNote.clear();
    const Status fetched =
        m_fetch.archive(QLatin1String(info.serverFile), m_folders.archivePath(info),
                        m_transfer.maxDownloadBytes(), offered);
    m_downloadRow = 0;
    if (m_cancelled) {
        return Step::EndRun;
    }
    if (!fetched) {
        // The row says why its archive was not taken, for whoever points at it.
        m_view.setRowTip(
            taskRow(info.component),
            explain(fetched.failure(), failureContext(QLatin1String(info.serverFile))));
        failRun(fetched.failure(), QLatin1String(info.serverFile));
        return Step::EndRun;
    }
    setRowStatus(taskRow(info.component), StringId::Processing, {});
    return Step::Done;
}

void UpdateRun::finish(const ComponentInfo &info, const Result<Installed> &result,
                       const QString &offered)
{
    const int row = taskRow(info.component);
    if (!result) {
        failRow(row, result.failure().within(QStringLiteral("installing %1").arg(taskName(row))),
                QLatin1String(info.serverFile));
        return;
    }
    setRow(row, RowIcon::Save, StringId::UpdateInstalled);
    if (info.component == Component::ExeFull) {
        // The product is still the old one until its set-up has run: recording the
        // version now would hide the package from the next run.
        m_pendingSetupVersion = QString::number(recordOf(info, offered).version);
        qCInfo(lcRun).noquote() << QStringLiteral(
                                       "program version %1 is recorded once set-up has started")
                                       .arg(*m_pendingSetupVersion);
    }
}

Status UpdateRun::record(const VersionRecord &version)
{
    Status written = recordVersion(m_settings, version);
    if (!written) {
        qCWarning(lcRun).noquote()
            << "cannot record" << recordText(version) << ":" << written.message();
    }
    return written;
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
        setRow(taskRow(info.component), RowIcon::Tick, StringId::NoUpdates);
        return Step::Done;
    }
    if (m_blocked.contains(taskRow(info.component))) {
        failRow(taskRow(info.component), m_blocked.value(taskRow(info.component)),
                QLatin1String(info.serverFile));
        return Step::Done;
    }

    if (fetch(info, offered) == Step::EndRun) {
        return Step::EndRun;
    }
    if (handsOver(info)) {
        handOver(info, offered);
        return Step::Done;
    }
    finish(info,
           m_installer->install({m_folders.archivePath(info),
                                 m_folders.folderFor(info.target),
                                 {},
                                 {},
                                 recordOf(info, offered)}),
           offered);
    return Step::Done;
}

UpdateRun::Step UpdateRun::installProgram(const QString &installed)
{
    const QString &offered = m_manifest.exe();
    QString why;
    const bool outOfDate = isOutOfDate(installed, offered, &why);
    qCInfo(lcRun).noquote() << QStringLiteral("program: ") + why;
    const int row = taskRow(Component::ExePatch);
    if (!outOfDate) {
        setRow(row, RowIcon::Tick, StringId::NoUpdates);
        return Step::Done;
    }
    const bool full = takesFullPackage(installed, m_manifest.fullPackageThreshold(), &why);
    qCInfo(lcRun).noquote() << QStringLiteral("program: ") + why;
    const ComponentInfo &info = componentInfo(full ? Component::ExeFull : Component::ExePatch);
    if (m_blocked.contains(row)) {
        m_view.setFinishMode(FinishMode::RunProduct);
        failRow(row, m_blocked.value(row), QLatin1String(info.serverFile));
        return Step::Done;
    }
    if (fetch(info, offered) == Step::EndRun) {
        return Step::EndRun;
    }
    if (handsOver(info)) {
        m_view.setFinishMode(FinishMode::RunProduct);
        handOver(info, offered);
        return Step::Done;
    }
    Result<Installed> result = failure(FailureKind::Archive, {});
    if (full) {
        result = m_installer->install(
            {m_folders.archivePath(info), m_folders.workFolder(), {}, {}, std::nullopt});
        // Finish would start nothing from a package that brought no set-up program.
        if (result && !QFileInfo(m_folders.setupProgram()).isFile()) {
            result = failure(
                FailureKind::Archive,
                QStringLiteral("the full package holds no %1").arg(QLatin1String(kSetupProgram)));
        }
    } else {
        // The old program goes in the same step that brings the new one, so a broken patch
        // never leaves the product without its program; and a patch that does not bring it
        // (whatever the case of its name) is no patch.
        const QString program = QLatin1String(kProductProgram);
        result = m_installer->install({m_folders.archivePath(info),
                                       m_folders.appFolder(),
                                       {program},
                                       program,
                                       recordOf(info, offered)});
    }
    // Finish starts set-up only when there is one to start.
    m_view.setFinishMode(full && result.ok() ? FinishMode::RunSetup : FinishMode::RunProduct);
    finish(info, result, offered);
    return Step::Done;
}

} // namespace freshgate
