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

std::optional<ParsedSignature> parseSignature(const QByteArray &text, QString *why)
{
    const auto malformed = [why](const QString &detail) {
        return fail<ParsedSignature>(why, QStringLiteral("malformed signature: ") + detail);
    };
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
        return fail<ParsedSignature>(why, QStringLiteral("unsupported signature algorithm \"%1\"")
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
std::optional<QByteArray> signedFileName(const QByteArray &trustedComment, QString *why)
{
    std::optional<QByteArray> name;
    for (const QByteArray &field : trustedComment.split('\t')) {
        if (!field.startsWith("file:")) {
            continue;
        }
        if (name) {
            return fail<QByteArray>(why,
                                    QStringLiteral("the trusted comment names more than one file"));
        }
        name = field.mid(5);
    }
    if (!name) {
        return fail<QByteArray>(why, QStringLiteral("the trusted comment names no file"));
    }
    return name;
}

bool verifyWholeFile(const QByteArray &signature, const QString &path, const QByteArray &key,
                     QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    const qint64 size = file.size();
    const uchar *data = nullptr;
    static const uchar empty = 0;
    if (size == 0) {
        data = &empty;
    } else {
        data = file.map(0, size);
        if (!data) {
            *why = QStringLiteral("cannot map %1: %2").arg(path, file.errorString());
            return false;
        }
    }
    if (crypto_sign_verify_detached(bytes(signature), data, static_cast<unsigned long long>(size),
                                    bytes(key)) != 0) {
        *why = QStringLiteral("the signature does not match the content of %1").arg(path);
        return false;
    }
    return true;
}

std::optional<PublicKey> readPublicKey(const QString &text, QString *why)
{
    if (!sodiumReady()) {
        return fail<PublicKey>(why, QStringLiteral("libsodium could not be initialised"));
    }
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() > kMaxKeyTextBytes) {
        return fail<PublicKey>(why, QStringLiteral("too long for a minisign public key"));
    }
    QList<QByteArray> lines;
    for (const QByteArray &line : splitLines(utf8)) {
        if (!line.trimmed().isEmpty()) {
            lines.append(line.trimmed());
        }
    }
    if (lines.size() == 2 && !lines[0].startsWith(QByteArray(kUntrustedPrefix).trimmed())) {
        return fail<PublicKey>(
            why, QStringLiteral("the line before the key is not an untrusted comment"));
    }
    if (lines.isEmpty() || lines.size() > 2) {
        return fail<PublicKey>(
            why, QStringLiteral("a minisign public key is one base64 line, optionally after its "
                                "untrusted comment line"));
    }
    const std::optional<QByteArray> blob = decodeBase64(lines.constLast(), kPublicKeyBlobBytes);
    if (!blob) {
        return fail<PublicKey>(why, QStringLiteral("not a minisign public key in base64"));
    }
    if (blob->left(kAlgBytes) != kLegacyAlg) {
        return fail<PublicKey>(why, QStringLiteral("unsupported public key algorithm"));
    }
    return PublicKey{blob->mid(kAlgBytes, kKeyIdBytes), blob->mid(kAlgBytes + kKeyIdBytes)};
}

} // namespace

Result<PublicKey> parsePublicKey(const QString &text)
{
    QString why;
    if (std::optional<PublicKey> key = readPublicKey(text, &why)) {
        return *key;
    }
    return failure(FailureKind::Usage, why);
}

Result<QList<PublicKey>> parsePublicKeys(const QString &text)
{
    QList<PublicKey> keys;
    static const QRegularExpression kSeparators(QStringLiteral("[;,\\s]+"));
    for (const QString &part : text.split(kSeparators, Qt::SkipEmptyParts)) {
        Result<PublicKey> key = parsePublicKey(part);
        if (!key) {
            return failure(
                FailureKind::Usage,
                QStringLiteral("key %1 of the list: %2").arg(keys.size() + 1).arg(key.message()));
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
    QString why;
    const auto refused = [&why] { return failure(FailureKind::Signature, why); };
    if (!sodiumReady()) {
        why = QStringLiteral("libsodium could not be initialised");
        return refused();
    }
    if (expectedFileName.isEmpty()) {
        why = QStringLiteral("no file name to check the signature against");
        return refused();
    }
    const std::optional<ParsedSignature> sig = parseSignature(signatureText, &why);
    if (!sig) {
        return refused();
    }
    const PublicKey *key = nullptr;
    QStringList trusted;
    for (const PublicKey &candidate : keys) {
        if (candidate.keyId.size() != kKeyIdBytes ||
            candidate.key.size() != crypto_sign_PUBLICKEYBYTES) {
            why = QStringLiteral("a trusted public key is malformed");
            return refused();
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
        why = QStringLiteral("the trusted comment's signature is not valid");
        return refused();
    }
    const std::optional<QByteArray> name = signedFileName(sig->trustedComment, &why);
    if (!name) {
        return refused();
    }
    if (*name != expectedFileName.toUtf8()) {
        why = QStringLiteral("the signature is for \"%1\", not \"%2\"")
                  .arg(QString::fromUtf8(*name), expectedFileName);
        return refused();
    }
    return SignedComment{*key, sig->prehashed, sig->signature,
                         QString::fromUtf8(sig->trustedComment)};
}

Status verifyContent(const SignedComment &signature, const QString &filePath)
{
    QString why;
    if (signature.prehashed) {
        const std::optional<QByteArray> hash = prehashFile(filePath, &why);
        if (!hash) {
            return failure(FailureKind::Signature, why);
        }
        if (crypto_sign_verify_detached(bytes(signature.signature), bytes(*hash),
                                        static_cast<unsigned long long>(hash->size()),
                                        bytes(signature.key.key)) != 0) {
            return failure(
                FailureKind::Signature,
                QStringLiteral("the signature does not match the content of %1").arg(filePath));
        }
    } else if (!verifyWholeFile(signature.signature, filePath, signature.key.key, &why)) {
        return failure(FailureKind::Signature, why);
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
