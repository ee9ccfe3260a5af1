#pragma once

// Detached minisign signatures (Ed25519): the updater verifies what it downloads against
// the public key it was built with; the publisher signs what it uploads. The file formats
// are minisign's own, so keys and signatures interoperate with the `minisign` tool.
//
// Every function is reentrant and may run on any thread. None throws; a failure comes back in
// the result, with a sentence for the diagnostic log.

#include "base/Result.h"
#include "trust/TrustedComment.h"

#include <QByteArray>
#include <QList>
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

// Several keys, separated by ";", "," or white space (none of which base64 holds): what a build
// that trusts an old and a new key during a rotation names. Refuses an empty list.
[[nodiscard]] Result<QList<PublicKey>> parsePublicKeys(const QString &text);

// A signature whose trusted comment is proven to be the maker's; the file it covers is not
// checked yet.
struct SignedComment {
    PublicKey key;
    bool prehashed = false;
    QByteArray signature;
    QString comment;
};

// The first half of verifying, which needs no file: parses signatureText (the whole .minisig
// file), picks the key by the signature's key id, verifies the signature over the trusted
// comment, and checks that its "file:" field names expectedFileName, so a signed file cannot be
// served in place of another. A signature by a key not in keys is refused with
// Refusal::UnknownKey; every refusal is a FailureKind::Signature.
[[nodiscard]] Result<SignedComment> verifyComment(const QList<PublicKey> &keys,
                                                  const QByteArray &signatureText,
                                                  const QString &expectedFileName);

// The second half: whether the file at filePath is the one signed. Prehashed signatures stream
// the file in constant memory; legacy ones map it. Every failure is a FailureKind::Signature,
// also for a file that cannot be read (its path then set): it cannot be proven the maker's.
[[nodiscard]] Status verifyContent(const SignedComment &signature, const QString &filePath);

// Both halves at once for one key. Verifies signatureText (the whole .minisig file) for the file at
// filePath: the key id, the file's signature, the signature over the trusted comment, and that the
// trusted comment's "file:" field names expectedFileName, so a signed file cannot be served in
// place of another. Prehashed signatures stream the file in constant memory; legacy ones map it.
// Gives the trusted comment as signed; every refusal is a FailureKind::Signature.
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
// A file that cannot be read is this computer's failure (Disk or Denied, naming it); one
// that is no usable key, or a wrong password, is Usage.
[[nodiscard]] Result<SecretKey> loadSecretKey(const QString &path, const QString &password);

// Returns the .minisig text for the file at filePath: prehashed, untrusted comment
// "signature from freshgate-publish", and the trusted comment formatComment() makes of fields
// ("timestamp:<unix time>\tfile:<fileName>\t...\tprehashed"); a timestamp left out is now.
// Values must be single lines without tabs, since each becomes a field of the trusted comment:
// refused as Usage, as is a malformed key; a file that cannot be read is Disk or Denied.
[[nodiscard]] Result<QByteArray> signFile(const SecretKey &key, const QString &filePath,
                                          CommentFields fields);

} // namespace freshgate::minisign
