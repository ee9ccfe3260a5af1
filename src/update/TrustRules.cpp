#include "update/TrustRules.h"

#include "protocol/Version.h"

#include <QDateTime>
#include <algorithm>

namespace freshgate {
namespace {

QString timeText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

} // namespace

Status checkArchiveFields(const minisign::CommentFields &fields, const QString &offered)
{
    const QString expected = QString::number(parseVersion(offered).value_or(0));
    if (!fields.version) {
        return refusal(Refusal::NoVersion,
                       QStringLiteral("its signature names no version; the update list offers %1")
                           .arg(expected),
                       {}, expected);
    }
    const std::optional<qint16> signedVersion = parseVersion(*fields.version);
    if (!signedVersion || signedVersion != parseVersion(offered)) {
        return refusal(Refusal::OtherVersion,
                       QStringLiteral("signed for version %1, the update list offers %2")
                           .arg(fields.version->trimmed(), expected),
                       fields.version->trimmed(), expected);
    }
    return {};
}

Status checkManifestFields(const minisign::CommentFields &fields,
                           std::optional<qint64> lastAccepted, qint64 now)
{
    if (lastAccepted) {
        if (!fields.timestamp) {
            return refusal(Refusal::NoTimestamp,
                           QStringLiteral("its signature has no timestamp, so it cannot be shown "
                                          "to be no older than the one accepted, signed %1")
                               .arg(timeText(*lastAccepted)),
                           {}, QString::number(*lastAccepted));
        }
        if (*fields.timestamp < *lastAccepted) {
            return refusal(Refusal::Older,
                           QStringLiteral("signed %1, before the one accepted last (signed %2)")
                               .arg(timeText(*fields.timestamp), timeText(*lastAccepted)),
                           QString::number(*fields.timestamp), QString::number(*lastAccepted));
        }
    }
    if (fields.expires && now > *fields.expires + kExpiryGraceSeconds) {
        return refusal(Refusal::Expired,
                       QStringLiteral("it expired %1 (it is now %2)")
                           .arg(timeText(*fields.expires), timeText(now)),
                       QString::number(*fields.expires), QString::number(now));
    }
    return {};
}

std::optional<qint64> parseStoredTime(const QString &text)
{
    bool ok = false;
    const qint64 seconds = text.trimmed().toLongLong(&ok);
    if (!ok || seconds < 0) {
        return std::nullopt;
    }
    return seconds;
}

std::optional<qint64> timeToStore(std::optional<qint64> signedAt, std::optional<qint64> stored,
                                  qint64 now)
{
    if (!signedAt) {
        return std::nullopt;
    }
    const qint64 time = std::min(*signedAt, now);
    if (stored && time <= *stored) {
        return std::nullopt;
    }
    return time;
}

} // namespace freshgate
