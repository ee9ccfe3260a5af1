#pragma once

#include "base/Result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <limits>
#include <optional>
#include <vector>

namespace freshgate {

// The pure rules of a transfer, apart from the network so they can be tested from tables.

// The request time-out, in seconds, when nothing else is set: the Internet transfer control's.
inline constexpr int kDefaultTimeoutSeconds = 60;
// The longest request time-out a transfer takes, in seconds (Qt counts it in int milliseconds).
inline constexpr int kMostTimeoutSeconds = std::numeric_limits<int>::max() / 1000;

// The request time-out that the product's "HTTP timeout" setting asks for, read as the product's
// own language reads a number in the invariant (US English) locale: blanks around, a sign,
// decimals, an exponent, or the &H (hex) and &O (octal) forms, rounded half to even. Text that
// is no such number, longer than three characters as stored (blanks included), negative, or
// more than kMostTimeoutSeconds gives kDefaultTimeoutSeconds. Only an exact zero means no
// time-out; a value that rounds to 0 (".4") is no valid time-out either.
[[nodiscard]] int httpTimeoutSeconds(const QString &setting);

// url as a log or a message may show it: a user name, a password and a query string, which
// may hold secrets, are each shown as "***" ("http://***@host/path?***"), since users send
// their logs to others.
[[nodiscard]] QString maskedUrl(const QUrl &url);

// Only a 2xx answer is a body worth keeping.
[[nodiscard]] bool isSuccessStatus(int status);

// The length a Content-Length header value announces, -1 when there is none or it is not one
// clear number. Qt 6.4 can merge the headers of a followed redirect into the final response's
// ("171, 16"); such a value counts as unknown.
[[nodiscard]] qint64 announcedLength(const QByteArray &contentLength);

// A text body as text: UTF-8 without a leading byte-order mark, or Latin-1 when the bytes are
// not valid UTF-8 (a sequence cut off at the end included).
[[nodiscard]] QString decodeResponseText(const QByteArray &body);

// Whether a failed try is worth another: a dropped or refused connection, a time-out, a transfer
// cut off as too slow, or a status that says "later" (408, 429, 5xx). Never a refusal that another
// try cannot change: another 4xx, a size over a limit, no space, a signature, a cancel.
[[nodiscard]] bool isRetryable(const Failure &failure);

// The moment an HTTP date names, in any of the three forms recipients accept: the IMF-fixdate
// ("Wed, 09 Dec 2026 17:00:00 GMT"), the obsolete RFC 850 form ("Wednesday, 09-Dec-26
// 17:00:00 GMT", a two-digit year more than 50 years ahead of now being the century before) and
// the asctime form ("Wed Dec  9 17:00:00 2026"). nullopt when it is none of them.
[[nodiscard]] std::optional<QDateTime>
httpDate(const QByteArray &value, const QDateTime &now = QDateTime::currentDateTimeUtc());

// The seconds a Retry-After value asks for (delta-seconds, or an HTTP date counted from now and
// rounded up, 0 when it has passed), at most a day; -1 when there is none or it cannot be read.
[[nodiscard]] int retryAfterSeconds(const QByteArray &value,
                                    const QDateTime &now = QDateTime::currentDateTimeUtc());

// How long to wait before try number `next` (2, 3, ...): firstDelayMs, then twice that, each
// spread by jitter (a factor from 0.8 to 1.2 the caller draws); a Retry-After the server sent
// wins, up to 30 s.
[[nodiscard]] int retryDelayMs(int next, int firstDelayMs, int retryAfterSeconds, double jitter);

// What names one version of a resource, so that bytes of it may continue bytes of it: the
// header it came in ("ETag" or "Last-Modified") and its value.
struct Validator {
    QByteArray header;
    QByteArray value;
};

// The validator that may guard a resumed download (sent as If-Range, and required back on the
// part that continues it): a strong ETag, else a Last-Modified. A weak ETag (W/"...") never
// does, since it may name two different byte sequences. nullopt when there is neither.
[[nodiscard]] std::optional<Validator> rangeValidator(const QByteArray &etag,
                                                      const QByteArray &lastModified);

// Where an earlier try broke off: the bytes already here, the whole resource's length as the
// first answer gave it, and the version those bytes belong to.
struct Resume {
    qint64 from = 0;
    qint64 total = -1;
    Validator validator;
};

// Why a 206 answer cannot continue `resume`, empty when it can. It can only when it carries the
// same validator (answerValidator: its value of resume.validator.header), and its Content-Range
// runs from resume.from to the end of a resource of resume.total bytes. Anything else may be
// the tail of another version, and would splice two archives into one file.
[[nodiscard]] QString whyNotContinuing(const Resume &resume, const QByteArray &contentRange,
                                       const QByteArray &answerValidator);

// How much of a download has come, as a person reads it: "12.3 of 45.6 MB", or "12.3 MB" when
// the total is not known (megabytes of 1,000,000 bytes, one decimal).
[[nodiscard]] QString amountText(qint64 bytes, qint64 total);

// The slowest a transfer may be: a server that keeps it alive with a byte every few seconds gets
// past any idle time-out, so it is cut off once the average rate over the last windowMs stays
// below bytesPerSecond. A window of 0 or less turns the floor off.
struct RateFloor {
    static constexpr int kDefaultWindowMs = 30 * 1000;
    static constexpr qint64 kDefaultBytesPerSecond = 1024;
    int windowMs = kDefaultWindowMs;
    qint64 bytesPerSecond = kDefaultBytesPerSecond;
};

// Measures a transfer against its floor from samples taken every tickMs(), from the request on,
// so a server that is slow to answer at all counts as slow too.
class RateWatch {
public:
    static constexpr int kTicksPerWindow = 10;

    explicit RateWatch(RateFloor floor) : m_floor(floor) {}
    [[nodiscard]] int tickMs() const;
    // Takes the bytes received so far; true once a whole window has passed with fewer bytes
    // than the floor asks of one.
    [[nodiscard]] bool tooSlow(qint64 receivedBytes);

private:
    RateFloor m_floor;
    std::vector<qint64> m_samples; // the last kTicksPerWindow + 1 counts
};

// Decides when "receiving" is worth a notification: at each tenth of a known length, else at each
// doubling from 1 MiB (at most ten times), so a body of any size moves the bar only a few steps.
class ReceiveProgress {
public:
    explicit ReceiveProgress(qint64 totalBytes = -1) : m_total(totalBytes) {}
    // True when receivedBytes has reached a new step.
    [[nodiscard]] bool advance(qint64 receivedBytes);

private:
    qint64 m_total;
    qint64 m_tenths = 0;
    qint64 m_next = qint64{1024} * 1024;
    int m_steps = 0;
};

} // namespace freshgate
