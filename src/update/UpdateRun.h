#pragma once

#include "install/Installer.h"
#include "protocol/Manifest.h"
#include "trust/Minisign.h"
#include "update/Explanation.h"
#include "update/ProductFolders.h"
#include "update/TrustedFetch.h"
#include "update/UpdateView.h"

#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QString>
#include <array>

namespace freshgate {

class HttpTransfer;
class SettingsStore;

// One update pass: finishes what a crashed run left, reads the installed versions, fetches the
// manifest, and brings each out-of-date component in, in the fixed order resource, data, help,
// program, telling the view about every step.
//
// GUI thread. start() returns when the run is over; the transfers inside it run local event
// loops, so the window stays live. Failures are shown through the view, never thrown: one the
// server is to blame for ends the run; one of a component's own (its archive, its folder) fails
// that row and the run goes on, and the end of the run names every such row. After cancel()
// (the window is closing) the run stops at the next transfer without a message; a component is
// then either installed with its version recorded or untouched.
class UpdateRun {
public:
    UpdateRun(UpdateView &view, SettingsStore &settings, HttpTransfer &transfer, QString appFolder,
              QString serverBase);
    ~UpdateRun();
    UpdateRun(const UpdateRun &) = delete;
    UpdateRun &operator=(const UpdateRun &) = delete;

    // With keys, every file the run fetches must carry a valid signature by one of them (see
    // TrustedFetch); without, nothing beyond the files themselves is fetched.
    void setTrustedKeys(std::optional<QList<minisign::PublicKey>> keys)
    {
        m_fetch.setTrustedKeys(std::move(keys));
    }

    void start();
    void cancel();
    [[nodiscard]] bool isRunning() const { return m_running; }
    [[nodiscard]] bool wasCancelled() const { return m_cancelled; }

    // A full program package's version is recorded only once Finish has started its set-up
    // successfully; call this then. Does nothing when the run brought no full package.
    void recordSetupStarted();

private:
    enum class Step { Done, EndRun };
    // A row that failed in this run, and why, for the box at the end.
    struct RowFailure {
        int row;
        Failure why;
        QString file;
    };

    void run();
    // Finishes what a crashed run left and makes the work folder ready; false ends the run.
    [[nodiscard]] bool prepare();
    // The manifest, or nothing once the run has ended over it.
    [[nodiscard]] std::optional<Manifest> fetchManifest();
    // Before the first download: whether each out-of-date component's folder, and the settings
    // that record it, can be written. Fills m_blocked.
    void probe(const std::array<std::pair<QString, QString>, kTaskRows> &offers, bool full);
    void end();

    void setRow(int row, RowIcon icon, StringId status);
    void setRowStatus(int row, StringId status, const QString &detail);
    // Shows the warning about file (empty for the manifest) and marks the run failed.
    void failRun(const Failure &why, const QString &file);
    // Marks row failed with why, and remembers it for the end of the run.
    void failRow(int row, const Failure &why, const QString &file);
    [[nodiscard]] FailureContext failureContext(const QString &file) const;
    // Shows on the downloading row how much has come (bytes of total; -1 for unknown or none)
    // and which try it is.
    void showDownload(qint64 bytes, qint64 total);
    // Downloads a component's archive; EndRun when the run must stop.
    [[nodiscard]] Step fetch(const ComponentInfo &info, const QString &offered);
    // Shows the outcome of an installation.
    void finish(const ComponentInfo &info, const Result<Installed> &result, const QString &offered);
    // Records what an installation brought, also one that recovery finishes after a crash.
    [[nodiscard]] Status record(const VersionRecord &version);
    [[nodiscard]] Step installComponent(Component component, const QString &installed,
                                        const QString &offered);
    [[nodiscard]] Step installProgram(const QString &installed);

    UpdateView &m_view;
    SettingsStore &m_settings;
    HttpTransfer &m_transfer;
    ProductFolders m_folders;
    TrustedFetch m_fetch;
    Installer m_installer;
    Manifest m_manifest;
    std::optional<QString> m_pendingSetupVersion;
    // Rows whose folder or settings cannot be written, found before the first download.
    QHash<int, Failure> m_blocked;
    QList<RowFailure> m_failures;
    // The row whose archive is downloading, 0 while none is.
    int m_downloadRow = 0;
    // "(try 2 of 3)" once the download of that row is tried again.
    QString m_tryNote;
    QMetaObject::Connection m_statesShown;
    QMetaObject::Connection m_amountShown;
    QMetaObject::Connection m_retryShown;
    bool m_running = false;
    bool m_cancelled = false;
};

} // namespace freshgate
