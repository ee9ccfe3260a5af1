#include "trust/Minisign.h"

#include "trust/MinisignFormat.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <sodium.h>

// Reading public keys and verifying signatures.

namespace freshgate::minisign {
using namespace detail;
namespace {

constexpr qsizetype kPublicKeyBlobBytes = kAlgBytes + kKeyIdBytes + crypto_sign_PUBLICKEYBYTES;
constexpr qsizetype kSignatureBlobBytes = kAlgBytes + kKeyIdBytes + crypto_sign_BYTES;

constexpr qsizetype kMaxSignatureTextBytes = kMaxSignatureBytes;

// minisign shows a key id as a little-endian 64-bit number in hex.
QString keyIdText(const QByteArray &keyId)
{
    QByteArray reversed = keyId;
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

struct ParsedSignature {
    bool prehashed = false;
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment;
    QByteArray globalSignature;
};

Failure malformed(const QString &detail)
{
    return failure(FailureKind::Signature, QStringLiteral("malformed signature: ") + detail);
}

Result<ParsedSignature> parseSignature(const QByteArray &text)
{
    if (text.size() > kMaxSignatureTextBytes) {
        return malformed(QStringLiteral("larger than %1 bytes").arg(kMaxSignatureTextBytes));
    }
    const QList<QByteArray> lines = splitLines(text);
    if (lines.size() < 4) {
        return malformed(QStringLiteral("%1 of its 4 lines found").arg(lines.size()));
    }
    if (lines.size() > 4) {
        return malformed(QStringLiteral("text after its 4 lines"));
    }
    if (!lines[0].startsWith(kUntrustedPrefix)) {
        return malformed(QStringLiteral("the first line is not an untrusted comment"));
    }
    const std::optional<QByteArray> blob = decodeBase64(lines[1], kSignatureBlobBytes);
    if (!blob) {
        return malformed(QStringLiteral("the second line is not a signature in base64"));
    }
    if (!lines[2].startsWith(kTrustedPrefix)) {
        return malformed(QStringLiteral("the third line is not a trusted comment"));
    }
    const std::optional<QByteArray> global = decodeBase64(lines[3], crypto_sign_BYTES);
    if (!global) {
        return malformed(QStringLiteral("the fourth line is not a comment signature in base64"));
    }

    ParsedSignature parsed;
    const QByteArray alg = blob->left(kAlgBytes);
    if (alg == kPrehashedAlg) {
        parsed.prehashed = true;
    } else if (alg != kLegacyAlg) {
        return failure(FailureKind::Signature,
                       QStringLiteral("unsupported signature algorithm \"%1\"")
                           .arg(QString::fromLatin1(alg.toHex())));
    }
    parsed.keyId = blob->mid(kAlgBytes, kKeyIdBytes);
    parsed.signature = blob->mid(kAlgBytes + kKeyIdBytes);
    parsed.trustedComment = lines[2].mid(static_cast<qsizetype>(sizeof kTrustedPrefix) - 1);
    if (hasControlCharacter(parsed.trustedComment)) {
        return malformed(QStringLiteral("control characters in the trusted comment"));
    }
    parsed.globalSignature = *global;
    return parsed;
}

// The trusted comment's "file:" field, which must be there exactly once.
Result<QByteArray> signedFileName(const QByteArray &trustedComment)
{
    std::optional<QByteArray> name;
    for (const QByteArray &field : trustedComment.split('\t')) {
        if (!field.startsWith("file:")) {
            continue;
        }
        if (name) {
            return failure(FailureKind::Signature,
                           QStringLiteral("the trusted comment names more than one file"));
        }
        name = field.mid(5);
    }
    if (!name) {
        return failure(FailureKind::Signature, QStringLiteral("the trusted comment names no file"));
    }
    return *name;
}

Status verifyWholeFile(const QByteArray &signature, const QString &path, const QByteArray &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return readFailure(file, QStringLiteral("cannot open %1").arg(path));
    }
    const qint64 size = file.size();
    const uchar *data = nullptr;
    static const uchar empty = 0;
    if (size == 0) {
        data = &empty;
    } else {
        data = file.map(0, size);
        if (!data) {
            return readFailure(file, QStringLiteral("cannot map %1").arg(path));
        }
    }
    if (crypto_sign_verify_detached(bytes(signature), data, static_cast<unsigned long long>(size),
                                    bytes(key)) != 0) {
        return failure(FailureKind::Signature,
                       QStringLiteral("the signature does not match the content of %1").arg(path));
    }
    return {};
}

Result<PublicKey> readPublicKey(const QString &text)
{
    const auto refused = [](const QString &why) { return failure(FailureKind::Usage, why); };
    if (!sodiumReady()) {
        return refused(QStringLiteral("libsodium could not be initialised"));
    }
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() > kMaxKeyTextBytes) {
        return refused(QStringLiteral("too long for a minisign public key"));
    }
    QList<QByteArray> lines;
    for (const QByteArray &line : splitLines(utf8)) {
        if (!line.trimmed().isEmpty()) {
            lines.append(line.trimmed());
        }
    }
    if (lines.size() == 2 && !lines[0].startsWith(QByteArray(kUntrustedPrefix).trimmed())) {
        return refused(QStringLiteral("the line before the key is not an untrusted comment"));
    }
    if (lines.isEmpty() || lines.size() > 2) {
        return refused(QStringLiteral("a minisign public key is one base64 line, optionally after "
                                      "its untrusted comment line"));
    }
    const std::optional<QByteArray> blob = decodeBase64(lines.constLast(), kPublicKeyBlobBytes);
    if (!blob) {
        return refused(QStringLiteral("not a minisign public key in base64"));
    }
    if (blob->left(kAlgBytes) != kLegacyAlg) {
        return refused(QStringLiteral("unsupported public key algorithm"));
    }
    return PublicKey{blob->mid(kAlgBytes, kKeyIdBytes), blob->mid(kAlgBytes + kKeyIdBytes)};
}

// A file that cannot be read cannot be proven the maker's: whoever verifies refuses it as it
// refuses a signature that does not match, keeping the reason and the path.
Failure unproven(Failure why)
{
    why.kind = FailureKind::Signature;
    return why;
}

} // namespace

Result<PublicKey> parsePublicKey(const QString &text)
{
    return readPublicKey(text);
}

Result<QList<PublicKey>> parsePublicKeys(const QString &text)
{
    QList<PublicKey> keys;
    static const QRegularExpression kSeparators(QStringLiteral("[;,\\s]+"));
    for (const QString &part : text.split(kSeparators, Qt::SkipEmptyParts)) {
        Result<PublicKey> key = parsePublicKey(part);
        if (!key) {
            return key.failure().within(QStringLiteral("key %1 of the list").arg(keys.size() + 1));
        }
        keys.append(std::move(key).value());
    }
    if (keys.isEmpty()) {
        return failure(FailureKind::Usage, QStringLiteral("no public key given"));
    }
    return keys;
}

Result<SignedComment> verifyComment(const QList<PublicKey> &keys, const QByteArray &signatureText,
                                    const QString &expectedFileName)
{
    if (!sodiumReady()) {
        return failure(FailureKind::Signature,
                       QStringLiteral("libsodium could not be initialised"));
    }
    if (expectedFileName.isEmpty()) {
        return failure(FailureKind::Signature,
                       QStringLiteral("no file name to check the signature against"));
    }
    const Result<ParsedSignature> sig = parseSignature(signatureText);
    if (!sig) {
        return sig.failure();
    }
    const PublicKey *key = nullptr;
    QStringList trusted;
    for (const PublicKey &candidate : keys) {
        if (candidate.keyId.size() != kKeyIdBytes ||
            candidate.key.size() != crypto_sign_PUBLICKEYBYTES) {
            return failure(FailureKind::Signature,
                           QStringLiteral("a trusted public key is malformed"));
        }
        trusted << keyIdText(candidate.keyId);
        if (candidate.keyId == sig->keyId) {
            key = &candidate;
        }
    }
    if (!key) {
        return refusal(Refusal::UnknownKey,
                       QStringLiteral("signed by another key (key id %1), not one this build "
                                      "trusts (%2)")
                           .arg(keyIdText(sig->keyId), trusted.isEmpty()
                                                           ? QStringLiteral("none")
                                                           : trusted.join(QStringLiteral(", "))),
                       keyIdText(sig->keyId));
    }
    // The cheap checks come first, so a forged signature costs no pass over a large file.
    const QByteArray signedComment = sig->signature + sig->trustedComment;
    if (crypto_sign_verify_detached(bytes(sig->globalSignature), bytes(signedComment),
                                    static_cast<unsigned long long>(signedComment.size()),
                                    bytes(key->key)) != 0) {
        return failure(FailureKind::Signature,
                       QStringLiteral("the trusted comment's signature is not valid"));
    }
    const Result<QByteArray> name = signedFileName(sig->trustedComment);
    if (!name) {
        return name.failure();
    }
    if (*name != expectedFileName.toUtf8()) {
        return failure(FailureKind::Signature,
                       QStringLiteral("the signature is for \"%1\", not \"%2\"")
                           .arg(QString::fromUtf8(*name), expectedFileName));
    }
    return SignedComment{*key, sig->prehashed, sig->signature,
                         QString::fromUtf8(sig->trustedComment)};
}

Status verifyContent(const SignedComment &signature, const QString &filePath)
{
    if (!signature.prehashed) {
        if (const Status whole = verifyWholeFile(signature.signature, filePath, signature.key.key);
            !whole) {
            return unproven(whole.failure());
        }
        return {};
    }
    const Result<QByteArray> hash = prehashFile(filePath);
    if (!hash) {
        return unproven(hash.failure());
    }
    if (crypto_sign_verify_detached(bytes(signature.signature), bytes(*hash),
                                    static_cast<unsigned long long>(hash->size()),
                                    bytes(signature.key.key)) != 0) {
        return failure(
            FailureKind::Signature,
            QStringLiteral("the signature does not match the content of %1").arg(filePath));
    }
    return {};
}

Result<QString> verifyFile(const PublicKey &key, const QString &filePath,
                           const QByteArray &signatureText, const QString &expectedFileName)
{
    const Result<SignedComment> comment = verifyComment({key}, signatureText, expectedFileName);
    if (!comment) {
        return comment.failure();
    }
    if (const Status content = verifyContent(*comment, filePath); !content) {
        return content.failure();
    }
    return comment->comment;
}

} // namespace freshgate::minisign
