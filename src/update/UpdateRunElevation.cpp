// The part of the run that differs where this user may not change the product's folder: the
// user's own work folder, the hand-over to the elevated step, and catching up from the product's
// record.
#include "base/FileProbe.h"
#include "install/ProductRecord.h"
#include "protocol/Version.h"
#include "settings/SettingsStore.h"
#include "update/ElevatedHandOver.h"
#include "update/RunLog.h"
#include "update/UpdateRun.h"

#include <QDir>

namespace freshgate {

void UpdateRun::chooseWorkFolder()
{
    if (!m_launcher || m_elevated) {
        return;
    }
    const Status writable = probeFolder(m_folders.appFolder());
    if (writable || writable.kind() != FailureKind::Denied) {
        return;
    }
    m_elevated = true;
    m_folders =
        ProductFolders(m_folders.appFolder(), localWorkFolder(m_localRoot, m_folders.appFolder()));
    m_fetch.keepSignatures(m_fetch.checksSignatures());
    qCInfo(lcRun).noquote() << "this user may not change the product's folder ("
                            << writable.message() << "); working in"
                            << QDir::toNativeSeparators(m_folders.workFolder());
}

void UpdateRun::catchUp()
{
    const ProductRecord held = ProductRecord::read(m_folders.appFolder());
    for (const VersionRecord &version : held.versions()) {
        const std::optional<qint16> stored = parseVersion(m_settings.readOrDefault(version.key));
        if (stored && *stored >= version.version) {
            continue;
        }
        if (!held.filesPresent(m_folders.appFolder(), version.key)) {
            qCInfo(lcRun).noquote() << "the product's record holds" << recordText(version)
                                    << "but its files are not the ones installed";
            continue;
        }
        qCInfo(lcRun).noquote() << "recording" << recordText(version)
                                << "from the product's record: installed by another user";
        (void)record(version);
    }
}

bool UpdateRun::handsOver(const ComponentInfo &info) const
{
    return m_elevated && info.target != Target::WorkFolder;
}

Status UpdateRun::mayHandOver() const
{
    if (m_fetch.checksSignatures()) {
        return {};
    }
    Failure why = failure(FailureKind::NeedsAdministrator,
                          QStringLiteral("this user may not change the product's folder, and a "
                                         "build without a key never asks for elevation"));
    why.path = QDir::toNativeSeparators(m_folders.appFolder());
    return why;
}

void UpdateRun::handOver(const ComponentInfo &info, const QString &offered)
{
    if (!m_handOver) {
        m_handOver = std::make_unique<ElevatedHandOver>(*m_launcher, m_folders.appFolder(),
                                                        m_folders.workFolder());
    }
    m_handOver->add(info.component, offered);
    m_handedOver.insert(static_cast<int>(info.component), offered);
    qCInfo(lcRun).noquote() << info.name << "waits for the elevated install step";
}

void UpdateRun::finishHandOver()
{
    if (!m_handOver || m_handOver->isEmpty() || m_cancelled) {
        return;
    }
    for (const HandOverOutcome &outcome : m_handOver->run()) {
        const ComponentInfo &info = componentInfo(outcome.component);
        const QString offered = m_handedOver.value(static_cast<int>(outcome.component));
        if (outcome.failure) {
            finish(info, *outcome.failure, offered);
            continue;
        }
        // The versions are this user's: recorded here, never by the elevated account.
        const Status recorded =
            record({versionKey(info.component), parseVersion(offered).value_or(0)});
        finish(info, recorded ? Result<Installed>(Installed{}) : recorded.failure(), offered);
    }
    m_handOver.reset();
}

} // namespace freshgate
