#pragma once

#include "base/Result.h"
#include "trust/Minisign.h"

#include <QList>
#include <QString>
#include <optional>

namespace freshgate {

class HttpTransfer;
class SettingsStore;

// The keys a build names (FRESHGATE_PUBLIC_KEY: one, or during a rotation the old and the new),
// or nothing when it names none. A list that does not parse still turns checking on: every
// download is then refused, never accepted unchecked.
[[nodiscard]] std::optional<QList<minisign::PublicKey>> trustedKeysFrom(const QString &built);

// Fetches what the update server offers, and with keys proves it is the maker's: for every file
// the signature comes first ("NAME.minisig" beside it), is checked before a byte of the file
// comes, and binds the file to what the run expects (its name, the version the manifest offers,
// at most the size signed; a manifest no older than the last one accepted and not expired).
// Without keys it fetches the files alone and stores nothing.
//
// GUI thread; every call waits in the transfer's local event loop. Failures come back in the
// result, each naming the file; a failed fetch leaves no file behind.
class TrustedFetch {
public:
    TrustedFetch(HttpTransfer &transfer, SettingsStore &settings, QString serverBase);

    // An empty list refuses everything; nothing checks nothing.
    void setTrustedKeys(std::optional<QList<minisign::PublicKey>> keys)
    {
        m_keys = std::move(keys);
    }
    [[nodiscard]] bool checksSignatures() const { return m_keys.has_value(); }
    // With keep, an archive's signature stays beside it ("NAME.minisig" in its folder) once both
    // are checked, for an elevated install step to check again.
    void keepSignatures(bool keep) { m_keepSignatures = keep; }
    [[nodiscard]] const QString &serverBase() const { return m_serverBase; }

    // The manifest's text. With keys it comes down as a file into workFolder (a signature covers
    // bytes), held to the transfer's text limit, and is removed once read.
    [[nodiscard]] Result<QString> manifest(const QString &workFolder);

    // Downloads serverFile into localPath, capped at maxBytes (and at the size signed). offered is
    // the manifest's version the archive must be signed for.
    [[nodiscard]] Status archive(const QString &serverFile, const QString &localPath,
                                 qint64 maxBytes, const QString &offered);

    // The manifest manifest() gave was taken for one: its signing time is recorded at the end.
    void acceptManifest() { m_acceptedSignedAt = m_fetchedSignedAt; }
    // Stores the signing time of the manifest accepted, never lowering the one stored and never
    // above this machine's clock. Call at the end of a run.
    void recordManifestTime();

private:
    struct CheckedSignature {
        minisign::SignedComment signature;
        minisign::CommentFields fields;
        QByteArray text;
    };

    [[nodiscard]] Result<minisign::CommentFields> file(const QString &serverFile,
                                                       const QString &localPath, qint64 maxBytes,
                                                       const std::optional<QString> &offered);
    [[nodiscard]] Result<CheckedSignature> signature(const QString &serverFile,
                                                     const QString &localPath,
                                                     const std::optional<QString> &offered);
    [[nodiscard]] Status checkDownload(const CheckedSignature &checked, const QString &localPath,
                                       qint64 bytes);

    HttpTransfer &m_transfer;
    SettingsStore &m_settings;
    QString m_serverBase;
    std::optional<QList<minisign::PublicKey>> m_keys;
    bool m_keepSignatures = false;
    // The signing time of the manifest fetched, and of the manifest accepted, once it is.
    std::optional<qint64> m_fetchedSignedAt;
    std::optional<qint64> m_acceptedSignedAt;
};

} // namespace freshgate
