#include "update/TrustedFetch.h"

#include "protocol/Components.h"
#include "settings/SettingsStore.h"
#include "transfer/HttpTransfer.h"
#include "transfer/TransferRules.h"
#include "update/RunLog.h"
#include "update/TrustRules.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <algorithm>

namespace freshgate {
namespace {

// What a refusal of serverFile says first, so the log and the details name the file.
Failure refused(const QString &serverFile, const Failure &why)
{
    return why.within(QStringLiteral("refused %1").arg(serverFile));
}

// A file read once and removed: nothing fetched for checking stays in the work folder.
Result<QByteArray> takeFile(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    const QByteArray bytes = opened ? file.read(maxBytes) : QByteArray();
    const QString why = file.errorString();
    file.close();
    QFile::remove(path);
    if (!opened) {
        return fileFailure(FailureKind::Disk, path, QStringLiteral("cannot read %1").arg(path),
                           why);
    }
    return bytes;
}

} // namespace

std::optional<QList<minisign::PublicKey>> trustedKeysFrom(const QString &built)
{
    if (built.trimmed().isEmpty()) {
        return std::nullopt;
    }
    Result<QList<minisign::PublicKey>> keys = minisign::parsePublicKeys(built);
    if (keys) {
        return std::move(keys).value();
    }
    qCCritical(lcRun).noquote() << "the built-in public key is unusable (" << keys.message()
                                << "); every download will be refused";
    return QList<minisign::PublicKey>{};
}

TrustedFetch::TrustedFetch(HttpTransfer &transfer, SettingsStore &settings, QString serverBase)
    : m_transfer(transfer), m_settings(settings), m_serverBase(std::move(serverBase))
{
}

Result<QString> TrustedFetch::manifest(const QString &workFolder)
{
    const QString name = QLatin1String(kManifestFile);
    if (!m_keys) {
        Result<QString> text = m_transfer.getUrlData(serverUrl(m_serverBase, name));
        if (text && text->isEmpty()) {
            return failure(FailureKind::Content, QStringLiteral("%1 is empty").arg(name));
        }
        return text;
    }
    const QString path = QDir(workFolder).filePath(name);
    const Result<minisign::CommentFields> fetched =
        file(name, path, m_transfer.maxTextBytes(), std::nullopt);
    if (!fetched) {
        return fetched.failure();
    }
    const Result<QByteArray> bytes = takeFile(path, m_transfer.maxTextBytes());
    if (!bytes) {
        return bytes.failure();
    }
    m_fetchedSignedAt = fetched->timestamp;
    return decodeResponseText(*bytes);
}

Status TrustedFetch::archive(const QString &serverFile, const QString &localPath, qint64 maxBytes,
                             const QString &offered)
{
    const Result<minisign::CommentFields> fetched = file(serverFile, localPath, maxBytes, offered);
    if (!fetched) {
        return fetched.failure();
    }
    return {};
}

Result<TrustedFetch::CheckedSignature>
TrustedFetch::signature(const QString &serverFile, const QString &localPath,
                        const std::optional<QString> &offered)
{
    const QString signatureFile = serverFile + QLatin1String(kSignatureSuffix);
    const QString signaturePath = localPath + QLatin1String(kSignatureSuffix);
    const Result<qint64> fetched = m_transfer.getBinaryData(
        serverUrl(m_serverBase, signatureFile), signaturePath, minisign::kMaxSignatureBytes);
    if (!fetched) {
        // A server without the signature, or with a flood in its place, is refused like a bad
        // signature; a server that could not be reached, or is busy, is just that.
        const int status = fetched.failure().httpStatus;
        if ((fetched.kind() == FailureKind::HttpStatus && (status == 404 || status == 410)) ||
            fetched.kind() == FailureKind::TooLarge) {
            return failure(
                FailureKind::Signature,
                QStringLiteral("no usable signature %1: %2").arg(signatureFile, fetched.message()));
        }
        return fetched.failure();
    }
    const Result<QByteArray> text = takeFile(signaturePath, minisign::kMaxSignatureBytes + 1);
    if (!text) {
        return text.failure();
    }
    const Result<minisign::SignedComment> signature =
        minisign::verifyComment(*m_keys, *text, serverFile);
    if (!signature) {
        return signature.failure();
    }
    const Result<minisign::CommentFields> fields = minisign::parseComment(signature->comment);
    if (!fields) {
        return fields.failure();
    }
    const Status kept =
        offered
            ? checkArchiveFields(*fields, *offered)
            : checkManifestFields(*fields,
                                  parseStoredTime(m_settings.read(SettingKey::ManifestSignedAt)),
                                  QDateTime::currentSecsSinceEpoch());
    if (!kept) {
        return kept.failure();
    }
    return CheckedSignature{*signature, *fields, *text};
}

Result<minisign::CommentFields> TrustedFetch::file(const QString &serverFile,
                                                   const QString &localPath, qint64 maxBytes,
                                                   const std::optional<QString> &offered)
{
    // The signature comes first: what it promises is checked before a byte of the file
    // comes, and the size it names caps the download, so an endless or padded file fails
    // at that size instead of filling the disk up to the general limit.
    std::optional<CheckedSignature> checked;
    if (m_keys) {
        Result<CheckedSignature> checkedNow = signature(serverFile, localPath, offered);
        if (!checkedNow) {
            return checkedNow.kind() == FailureKind::Signature
                       ? refused(serverFile, checkedNow.failure())
                       : checkedNow.failure();
        }
        checked = std::move(checkedNow).value();
        if (checked->fields.size) {
            maxBytes = std::min(maxBytes, *checked->fields.size);
        }
    }

    const Result<qint64> fetched =
        m_transfer.getBinaryData(serverUrl(m_serverBase, serverFile), localPath, maxBytes);
    if (!fetched) {
        const std::optional<qint64> signedSize = checked ? checked->fields.size : std::nullopt;
        if (fetched.kind() == FailureKind::TooLarge && signedSize && maxBytes == *signedSize) {
            return refused(serverFile,
                           refusal(Refusal::OtherSize,
                                   QStringLiteral("larger than the %1 bytes signed (%2)")
                                       .arg(*signedSize)
                                       .arg(fetched.message()),
                                   QString::number(*signedSize)));
        }
        return fetched.failure();
    }
    // An empty file is never an archive or a manifest; the server lost it.
    if (*fetched == 0) {
        QFile::remove(localPath);
        return failure(FailureKind::Content, QStringLiteral("%1 is empty").arg(serverFile));
    }
    if (!checked) {
        return minisign::CommentFields{};
    }
    if (const Status verified = checkDownload(*checked, localPath, *fetched); !verified) {
        QFile::remove(localPath);
        return refused(serverFile, verified.failure());
    }
    qCInfo(lcRun).noquote() << QStringLiteral("signature of %1 is good (%2)")
                                   .arg(serverFile, checked->signature.comment);
    if (m_keepSignatures && offered) {
        QFile kept(localPath + QLatin1String(kSignatureSuffix));
        if (!kept.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            kept.write(checked->text) != checked->text.size()) {
            const QString why = kept.errorString();
            QFile::remove(localPath);
            return fileFailure(FailureKind::Disk, kept.fileName(),
                               QStringLiteral("cannot keep the signature of %1").arg(serverFile),
                               why);
        }
    }
    return checked->fields;
}

Status TrustedFetch::checkDownload(const CheckedSignature &checked, const QString &localPath,
                                   qint64 bytes)
{
    const std::optional<qint64> &signedSize = checked.fields.size;
    if (signedSize && bytes != *signedSize) {
        return refusal(Refusal::OtherSize,
                       QStringLiteral("%1 bytes came, %2 were signed").arg(bytes).arg(*signedSize),
                       QString::number(*signedSize), QString::number(bytes));
    }
    return minisign::verifyContent(checked.signature, localPath);
}

void TrustedFetch::recordManifestTime()
{
    if (!m_keys || !m_acceptedSignedAt) {
        return;
    }
    const QString storedText = m_settings.read(SettingKey::ManifestSignedAt);
    const std::optional<qint64> stored = parseStoredTime(storedText);
    if (!stored && !storedText.trimmed().isEmpty()) {
        qCWarning(lcRun).noquote()
            << "the stored manifest time" << storedText << "is not a time; it is replaced";
    }
    const std::optional<qint64> time =
        timeToStore(m_acceptedSignedAt, stored, QDateTime::currentSecsSinceEpoch());
    if (!time) {
        return;
    }
    if (const Status written =
            m_settings.write(SettingKey::ManifestSignedAt, QString::number(*time));
        !written) {
        qCWarning(lcRun).noquote()
            << "cannot record the manifest's signing time:" << written.message();
    }
}

} // namespace freshgate
