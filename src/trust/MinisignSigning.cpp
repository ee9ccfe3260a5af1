#include "trust/Minisign.h"
#include "trust/MinisignFormat.h"

#include <QDateTime>
#include <QFile>
#include <QScopeGuard>
#include <array>
#include <cstdint>
#include <cstring>
#include <sodium.h>

// Loading minisign secret keys and signing with them.

namespace freshgate::minisign {
using namespace detail;
namespace {

// Secret key file layout: algorithms, scrypt parameters, then the part that is encrypted.
constexpr qsizetype kSaltOffset = 3 * kAlgBytes;
constexpr qsizetype kOpsLimitOffset = kSaltOffset + crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr qsizetype kMemLimitOffset = kOpsLimitOffset + 8;
constexpr qsizetype kKeyIdOffset = kMemLimitOffset + 8;
constexpr qsizetype kSecretOffset = kKeyIdOffset + kKeyIdBytes;
constexpr qsizetype kChecksumOffset = kSecretOffset + crypto_sign_SECRETKEYBYTES;
constexpr qsizetype kChecksumBytes = crypto_generichash_BYTES;
constexpr qsizetype kSecretKeyBlobBytes = kChecksumOffset + kChecksumBytes;

// A key file sets the cost of its own decryption; minisign asks for the "sensitive" level.
// Far beyond that is a corrupt or hostile file that would pin the machine for minutes.
constexpr quint64 kMaxOpsLimit = 4ULL * crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
constexpr quint64 kMaxMemLimit = 4ULL * crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;

quint64 loadLe64(const unsigned char *p)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | p[i];
    }
    return value;
}

void checksum(const unsigned char *blob, unsigned char out[kChecksumBytes])
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kChecksumBytes);
    crypto_generichash_update(&state, blob, kAlgBytes);
    crypto_generichash_update(&state, blob + kKeyIdOffset, kChecksumOffset - kKeyIdOffset);
    crypto_generichash_final(&state, out, kChecksumBytes);
}

// Secret material on the stack is wiped however the function leaves.
template <std::size_t N> struct Wiped {
    std::array<unsigned char, N> data{};
    Wiped() = default;
    Wiped(const Wiped &) = delete;
    Wiped &operator=(const Wiped &) = delete;
    ~Wiped() { sodium_memzero(data.data(), data.size()); }
};

// What the maker gave that cannot sign: not a key, a key of another kind, or the wrong password.
Failure unusable(const QString &why)
{
    return failure(FailureKind::Usage, why);
}

// Reads the key file and decodes its key line into blob; the text it came from is wiped.
Status decodeKeyFile(const QString &path, Wiped<kSecretKeyBlobBytes> &blob)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return readFailure(file, QStringLiteral("cannot open %1").arg(path));
    }
    QByteArray text = file.read(kMaxKeyTextBytes + 1);
    const auto wipeText = qScopeGuard([&text] { sodium_memzero(text.data(), text.size()); });
    if (text.size() > kMaxKeyTextBytes) {
        return unusable(QStringLiteral("%1 is too large for a minisign secret key").arg(path));
    }
    QList<QByteArray> lines = splitLines(text);
    const auto wipeLines = qScopeGuard([&lines] {
        for (QByteArray &line : lines) {
            sodium_memzero(line.data(), line.size());
        }
    });
    if (lines.size() != 2 || !lines[0].startsWith(kUntrustedPrefix)) {
        return unusable(QStringLiteral("%1 is not a minisign secret key: expected an untrusted "
                                       "comment line and a key line")
                            .arg(path));
    }
    size_t length = 0;
    if (sodium_base642bin(blob.data.data(), blob.data.size(), lines[1].constData(), lines[1].size(),
                          nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != blob.data.size()) {
        return unusable(QStringLiteral("%1 is not a minisign secret key in base64").arg(path));
    }
    return {};
}

// Whether the key is encrypted; refuses algorithms minisign does not write.
Result<bool> readAlgorithms(const unsigned char *raw)
{
    if (std::memcmp(raw, kLegacyAlg, kAlgBytes) != 0) {
        return unusable(QStringLiteral("unsupported secret key algorithm"));
    }
    if (std::memcmp(raw + 2 * kAlgBytes, "B2", kAlgBytes) != 0) {
        return unusable(QStringLiteral("unsupported secret key checksum algorithm"));
    }
    const bool encrypted = std::memcmp(raw + kAlgBytes, "Sc", kAlgBytes) == 0;
    if (!encrypted && (raw[kAlgBytes] != 0 || raw[kAlgBytes + 1] != 0)) {
        return unusable(QStringLiteral("unsupported key derivation for the secret key"));
    }
    return encrypted;
}

bool checksumHolds(const unsigned char *raw)
{
    Wiped<kChecksumBytes> computed;
    checksum(raw, computed.data.data());
    return sodium_memcmp(computed.data.data(), raw + kChecksumOffset, kChecksumBytes) == 0;
}

// Decrypts the key in place with the password; its checksum tells a wrong password.
Status decrypt(unsigned char *raw, const QString &password)
{
    if (password.isEmpty()) {
        return unusable(QStringLiteral("the secret key is encrypted; a password is needed"));
    }
    const quint64 opsLimit = loadLe64(raw + kOpsLimitOffset);
    const quint64 memLimit = loadLe64(raw + kMemLimitOffset);
    if (opsLimit > kMaxOpsLimit || memLimit > kMaxMemLimit || memLimit > SIZE_MAX) {
        return unusable(QStringLiteral("the secret key asks for an unreasonable key derivation "
                                       "cost"));
    }
    QByteArray secret = password.toUtf8();
    const auto wipeSecret =
        qScopeGuard([&secret] { sodium_memzero(secret.data(), secret.size()); });
    // The high-level call turns the file's opslimit and memlimit into scrypt's N, r and p
    // exactly as minisign did when it wrote the file.
    Wiped<kSecretKeyBlobBytes - kKeyIdOffset> stream;
    if (crypto_pwhash_scryptsalsa208sha256(
            stream.data.data(), stream.data.size(), secret.constData(),
            static_cast<unsigned long long>(secret.size()), raw + kSaltOffset, opsLimit,
            static_cast<size_t>(memLimit)) != 0) {
        return unusable(QStringLiteral("key derivation failed (not enough memory?)"));
    }
    for (std::size_t i = 0; i < stream.data.size(); ++i) {
        raw[kKeyIdOffset + static_cast<qsizetype>(i)] ^= stream.data[i];
    }
    if (!checksumHolds(raw)) {
        return unusable(QStringLiteral("wrong password for that key"));
    }
    return {};
}

// An Ed25519 secret key is its seed followed by its public key: they must agree.
Status checkHalves(const unsigned char *raw)
{
    Wiped<crypto_sign_SECRETKEYBYTES> derived;
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey{};
    crypto_sign_seed_keypair(publicKey.data(), derived.data.data(), raw + kSecretOffset);
    if (sodium_memcmp(derived.data.data(), raw + kSecretOffset, crypto_sign_SECRETKEYBYTES) != 0) {
        return unusable(QStringLiteral("the secret key is corrupt (its halves disagree)"));
    }
    return {};
}

} // namespace

Result<SecretKey> loadSecretKey(const QString &path, const QString &password)
{
    if (!sodiumReady()) {
        return unusable(QStringLiteral("libsodium could not be initialised"));
    }
    Wiped<kSecretKeyBlobBytes> blob;
    if (const Status decoded = decodeKeyFile(path, blob); !decoded) {
        return decoded.failure();
    }
    unsigned char *const raw = blob.data.data();
    const Result<bool> encrypted = readAlgorithms(raw);
    if (!encrypted) {
        return encrypted.failure();
    }
    if (*encrypted) {
        if (const Status decrypted = decrypt(raw, password); !decrypted) {
            return decrypted.failure();
        }
    } else if (!sodium_is_zero(raw + kChecksumOffset, kChecksumBytes) && !checksumHolds(raw)) {
        // minisign leaves the checksum of an unencrypted key empty; one that is there must hold.
        return unusable(QStringLiteral("the secret key is corrupt (checksum mismatch)"));
    }
    if (const Status halves = checkHalves(raw); !halves) {
        return halves.failure();
    }
    SecretKey key;
    key.keyId = QByteArray(reinterpret_cast<const char *>(raw + kKeyIdOffset), kKeyIdBytes);
    key.secretKey =
        QByteArray(reinterpret_cast<const char *>(raw + kSecretOffset), crypto_sign_SECRETKEYBYTES);
    return key;
}

Result<QByteArray> signFile(const SecretKey &key, const QString &filePath, CommentFields fields)
{
    if (!sodiumReady()) {
        return failure(FailureKind::Signature,
                       QStringLiteral("libsodium could not be initialised"));
    }
    if (key.keyId.size() != kKeyIdBytes || key.secretKey.size() != crypto_sign_SECRETKEYBYTES) {
        return unusable(QStringLiteral("the secret key is malformed"));
    }
    if (!fields.file) {
        fields.file = QString();
    }
    if (!fields.timestamp) {
        fields.timestamp = QDateTime::currentSecsSinceEpoch();
    }
    const Result<QByteArray> formatted = formatComment(fields);
    if (!formatted) {
        return formatted.failure();
    }
    const QByteArray &trustedComment = *formatted;

    const Result<QByteArray> hash = prehashFile(filePath);
    if (!hash) {
        return hash.failure();
    }
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr, bytes(*hash),
                         static_cast<unsigned long long>(hash->size()), bytes(key.secretKey));
    const QByteArray signedComment = signature + trustedComment;
    QByteArray globalSignature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(
        reinterpret_cast<unsigned char *>(globalSignature.data()), nullptr, bytes(signedComment),
        static_cast<unsigned long long>(signedComment.size()), bytes(key.secretKey));
    // A key whose halves disagree signs what nobody can verify; better to say so here.
    const unsigned char *publicKey =
        bytes(key.secretKey) + crypto_sign_SECRETKEYBYTES - crypto_sign_PUBLICKEYBYTES;
    if (crypto_sign_verify_detached(bytes(globalSignature), bytes(signedComment),
                                    static_cast<unsigned long long>(signedComment.size()),
                                    publicKey) != 0) {
        return unusable(QStringLiteral("the secret key is malformed"));
    }

    return kUntrustedPrefix + QByteArray("signature from freshgate-publish\n") +
           (kPrehashedAlg + key.keyId + signature).toBase64() + '\n' + kTrustedPrefix +
           trustedComment + '\n' + globalSignature.toBase64() + '\n';
}

} // namespace freshgate::minisign
