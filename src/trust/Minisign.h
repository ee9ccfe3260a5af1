#pragma once

// Detached minisign signatures (Ed25519): the updater verifies what it downloads against
// the public key it was built with; the publisher signs what it uploads. The file formats
// are minisign's own, so keys and signatures interoperate with the `minisign` tool.
//
// Every function is reentrant and may run on any thread. None throws; a failure comes back in
// the result, with a sentence for the diagnostic log.

#include "base/Result.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace freshgate::minisign {

// The largest .minisig accepted: minisign caps its comments at 1 KiB and 8 KiB, so twice that
// admits every signature it writes and refuses a flood at once.
inline constexpr qint64 kMaxSignatureBytes = qint64{16} * 1024;

struct PublicKey {
    QByteArray keyId; // 8 bytes, as stored (minisign shows them little-endian as hex)
    QByteArray key;   // 32 bytes, Ed25519
};

// Accepts the bare base64 line, or the whole .pub file text (untrusted comment line and
// base64 line). Anything else, or a key of another algorithm, is refused with a reason.
[[nodiscard]] Result<PublicKey> parsePublicKey(const QString &text);

// Verifies signatureText (the whole .minisig file) for the file at filePath: the key id, the
// file's signature, the signature over the trusted comment, and that the trusted comment's
// "file:" field names expectedFileName, so a signed file cannot be served in place of
// another. Prehashed signatures stream the file in constant memory; legacy ones map it. Gives the
// trusted comment as signed; every refusal is a FailureKind::Signature.
[[nodiscard]] Result<QString> verifyFile(const PublicKey &key, const QString &filePath,
                                         const QByteArray &signatureText,
                                         const QString &expectedFileName);

struct SecretKey {
    QByteArray keyId;     // 8 bytes
    QByteArray secretKey; // 64 bytes, Ed25519 (seed followed by the public key)
};

// Loads a minisign secret key file, unencrypted (minisign -G -W) or encrypted with a
// password. The password is ignored for an unencrypted key; a wrong one is an error.
// Decrypting costs what the key file asks for (minisign asks for about 1 GiB and seconds).
[[nodiscard]] Result<SecretKey> loadSecretKey(const QString &path, const QString &password);

// Returns the .minisig text for the file at filePath: prehashed, untrusted comment
// "signature from freshgate-publish", trusted comment
// "timestamp:<unix time>\tfile:<fileName>\tprehashed". fileName must be a single line
// without tabs, since it becomes a field of the trusted comment.
[[nodiscard]] Result<QByteArray> signFile(const SecretKey &key, const QString &filePath,
                                          const QString &fileName);

} // namespace freshgate::minisign
