#pragma once

#include "protocol/Manifest.h"
#include "trust/Minisign.h"
#include "update/Explanation.h"
#include "update/ProductFolders.h"
#include "update/UpdateView.h"

#include <QMetaObject>
#include <QString>
#include <array>

namespace freshgate {

struct Extracted;
struct InstallNote;
class HttpTransfer;
class SettingsStore;

// One update pass: reads the installed versions, fetches the manifest, and brings
// each out-of-date component in, in the fixed order resource, data, help,
// program, telling the view about every step.
//
// GUI thread. start() returns when the run is over; the transfers inside it run
// local event loops, so the window stays live. Failures are shown through the
// view, never thrown. After cancel() (the window is closing) the run stops at the
// next transfer without a message; a component is then either installed with
// its version recorded or untouched.
class UpdateRun {
public:
    UpdateRun(UpdateView &view, SettingsStore &settings, HttpTransfer &transfer, QString appFolder,
              QString serverBase);
    ~UpdateRun();
    UpdateRun(const UpdateRun &) = delete;
    UpdateRun &operator=(const UpdateRun &) = delete;

    // With keys, every file the run fetches must carry a valid detached
    // signature by one of them ("NAME.minisig" beside it on the server), fetched
    // before the file; one that does not counts as a failed download. An archive's
    // signature must also name the version the manifest offers and may cap its
    // size; a manifest must be no older than the last one accepted (kept in the
    // store) and not expired. An empty list refuses everything. Without keys,
    // nothing beyond the files themselves is fetched and nothing is stored.
    void setTrustedKeys(std::optional<QList<minisign::PublicKey>> keys)
    {
        m_trustedKeys = std::move(keys);
    }

    void start();
    void cancel();
    [[nodiscard]] bool isRunning() const { return m_running; }
    [[nodiscard]] bool wasCancelled() const { return m_cancelled; }

    // A full program package's version is recorded only once Finish has started
    // its set-up successfully; call this then. Does nothing when the run brought
    // no full package.
    void recordSetupStarted();

private:
    enum class Step { Done, EndRun };

    void run();
    void setRow(int row, RowIcon icon, StringId status);
    void setRowStatus(int row, StringId status, const QString &detail);
    // Shows the warning with why it came, about file (empty for none).
    void failContact(const Failure &why, const QString &file);
    [[nodiscard]] FailureContext failureContext(const QString &file) const;
    // Shows on the downloading row how much has come and which try it is.
    void showDownload(const QString &amount);
    // The manifest text, or why it could not be fetched or trusted.
    [[nodiscard]] Result<QString> fetchManifest();
    // With keys, fetches and checks serverFile's signature first, then downloads the
    // file into the work folder (capped at the size signed) and checks it. offered is
    // the manifest's version for an archive, nothing for the manifest itself. Gives
    // the signed fields (none without keys); on failure no file is left.
    [[nodiscard]] Result<minisign::CommentFields>
    fetchTrusted(const QString &serverFile, const QString &localPath, qint64 maxBytes,
                 const std::optional<QString> &offered);
    // A signature proven to be the maker's, and the fields of its trusted comment.
    struct CheckedSignature {
        minisign::SignedComment signature;
        minisign::CommentFields fields;
    };
    // The signature of serverFile, proven and checked against what the run expects.
    [[nodiscard]] Result<CheckedSignature> fetchSignature(const QString &serverFile,
                                                          const QString &localPath,
                                                          const std::optional<QString> &offered);
    // Stores the accepted manifest's signing time, never lowering the one stored.
    void recordManifestTime();
    // Downloads a component's archive; EndRun when the run must stop.
    [[nodiscard]] Step fetch(const ComponentInfo &info, const QString &offered);
    // Shows the outcome of an extraction and records the version it brought.
    void finish(const ComponentInfo &info, const Result<Extracted> &result, const QString &offered);
    // What the extractor writes into its journal and records once the files are on disk:
    // "<version key>=<version>". recordNote() records such a note, also one that recovery
    // finds after a crash; false when the store could not be written.
    [[nodiscard]] InstallNote versionNote(const ComponentInfo &info, const QString &offered);
    [[nodiscard]] bool recordNote(const QString &note);
    [[nodiscard]] Step installComponent(Component component, const QString &installed,
                                        const QString &offered);
    [[nodiscard]] Step installProgram(const QString &installed);

    UpdateView &m_view;
    SettingsStore &m_settings;
    HttpTransfer &m_transfer;
    ProductFolders m_folders;
    QString m_serverBase;
    std::optional<QList<minisign::PublicKey>> m_trustedKeys;
    // The signing time of the manifest fetched, and of the manifest accepted, once it is.
    std::optional<qint64> m_manifestSignedAt;
    std::optional<qint64> m_acceptedSignedAt;
    Manifest m_manifest;
    std::optional<QString> m_pendingSetupVersion;
    // The row whose archive is downloading, 0 while none is.
    int m_downloadRow = 0;
    // "(try 2 of 3)" once the download of that row is tried again.
    QString m_tryNote;
    QMetaObject::Connection m_amountShown;
    QMetaObject::Connection m_retryShown;
    bool m_running = false;
    bool m_cancelled = false;
};

} // namespace freshgate
