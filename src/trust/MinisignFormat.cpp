#include "trust/MinisignFormat.h"

#include <QFile>
#include <sodium.h>

namespace freshgate::minisign::detail {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::optional<QByteArray> decodeBase64(const QByteArray &text, qsizetype size)
{
    QByteArray out(size, Qt::Uninitialized);
    size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char *>(out.data()), out.size(),
                          text.constData(), text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != static_cast<size_t>(size)) {
        return std::nullopt;
    }
    return out;
}

QList<QByteArray> splitLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    while (!lines.isEmpty() && lines.constLast().trimmed().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

bool hasControlCharacter(const QByteArray &text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
            return true;
        }
    }
    return false;
}

Failure readFailure(const QFileDevice &file, const QString &doing)
{
    const FailureKind kind =
        file.error() == QFileDevice::PermissionsError ? FailureKind::Denied : FailureKind::Disk;
    return fileFailure(kind, file.fileName(), doing, file.errorString());
}

Result<QByteArray> prehashFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return readFailure(file, QStringLiteral("cannot open %1").arg(path));
    }
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    QByteArray buffer(qsizetype{64} * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0) {
            return readFailure(file, QStringLiteral("cannot read %1").arg(path));
        }
        if (n == 0) {
            break;
        }
        crypto_generichash_update(&state, bytes(buffer), static_cast<unsigned long long>(n));
    }
    QByteArray hash(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(hash.data()),
                             static_cast<size_t>(hash.size()));
    return hash;
}

} // namespace freshgate::minisign::detail
