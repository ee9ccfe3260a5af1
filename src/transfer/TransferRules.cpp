#include "transfer/TransferRules.h"

#include <QDateTime>
#include <QList>
#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>
#include <cmath>

namespace freshgate {
namespace {

// The value of text as the product's language takes a number in the invariant locale, nullopt
// when it is none.
std::optional<double> numericValue(const QString &text)
{
    const QString trimmed = text.trimmed();
    static const QRegularExpression kRadixForm(QStringLiteral("^&([HhOo])([0-9A-Fa-f]+)$"));
    if (const QRegularExpressionMatch radix = kRadixForm.match(trimmed); radix.hasMatch()) {
        const bool hex = radix.captured(1).compare(QLatin1String("h"), Qt::CaseInsensitive) == 0;
        bool ok = false;
        const qlonglong value = radix.captured(2).toLongLong(&ok, hex ? 16 : 8);
        return ok ? std::optional<double>(static_cast<double>(value)) : std::nullopt;
    }
    // Only ASCII digits: the text is read in the invariant locale, whatever the user's is.
    static const QRegularExpression kDecimalForm(
        QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([Ee][+-]?[0-9]+)?$"));
    if (!kDecimalForm.match(trimmed).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = trimmed.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

// As the product's language converts a number to a whole one: halves go to the even neighbour.
double roundHalfToEven(double value)
{
    const double lower = std::floor(value);
    const double fraction = value - lower;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(lower, 2.0) != 0.0)) {
        return lower + 1.0;
    }
    return lower;
}

} // namespace

int httpTimeoutSeconds(const QString &setting)
{
    // The length limit is on the text as stored, blanks included.
    if (setting.size() > 3) {
        return kDefaultTimeoutSeconds;
    }
    const std::optional<double> value = numericValue(setting);
    if (!value || *value < 0.0) {
        return kDefaultTimeoutSeconds;
    }
    if (*value == 0.0) {
        return 0;
    }
    const double seconds = roundHalfToEven(*value);
    if (seconds < 1.0 || seconds > static_cast<double>(kMostTimeoutSeconds)) {
        return kDefaultTimeoutSeconds;
    }
    return static_cast<int>(seconds);
}

QString maskedUrl(const QUrl &url)
{
    // What cannot be parsed cannot be masked either.
    if (!url.isValid()) {
        return QStringLiteral("(an invalid URL)");
    }
    QUrl shown = url;
    if (!shown.userInfo().isEmpty()) {
        shown.setUserInfo(QStringLiteral("***"));
    }
    if (shown.hasQuery()) {
        shown.setQuery(QStringLiteral("***"));
    }
    return shown.toString(QUrl::FullyEncoded | QUrl::RemoveFragment);
}

bool isSuccessStatus(int status)
{
    return status >= 200 && status <= 299;
}

qint64 announcedLength(const QByteArray &contentLength)
{
    if (contentLength.trimmed().isEmpty()) {
        return -1;
    }
    qint64 length = -1;
    for (const QByteArray &value : contentLength.split(',')) {
        bool ok = false;
        const qint64 n = value.trimmed().toLongLong(&ok);
        if (!ok || n < 0 || (length >= 0 && n != length)) {
            return -1;
        }
        length = n;
    }
    return length;
}

bool ReceiveProgress::advance(qint64 receivedBytes)
{
    if (m_total > 0) {
        const qint64 tenths = receivedBytes * 10 / m_total;
        if (tenths <= m_tenths || tenths >= 10) {
            return false;
        }
        m_tenths = tenths;
        return true;
    }
    if (receivedBytes < m_next || m_steps >= 10) {
        return false;
    }
    while (m_next <= receivedBytes) {
        m_next *= 2;
    }
    ++m_steps;
    return true;
}

QString decodeResponseText(const QByteArray &body)
{
    // Stateless, so a sequence cut off at the end counts as invalid too.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString decoded = utf8.decode(body);
    if (utf8.hasError()) {
        return QString::fromLatin1(body);
    }
    return decoded;
}

QString amountText(qint64 bytes, qint64 total)
{
    const auto megabytes = [](qint64 count) {
        return QString::number(static_cast<double>(count) / 1e6, 'f', 1);
    };
    if (total < 0) {
        return QStringLiteral("%1 MB").arg(megabytes(bytes));
    }
    return QStringLiteral("%1 of %2 MB").arg(megabytes(bytes), megabytes(total));
}

int RateWatch::tickMs() const
{
    return std::max(10, m_floor.windowMs / kTicksPerWindow);
}

bool RateWatch::tooSlow(qint64 receivedBytes)
{
    if (m_floor.windowMs <= 0 || m_floor.bytesPerSecond <= 0) {
        return false;
    }
    m_samples.push_back(receivedBytes);
    if (m_samples.size() <= static_cast<size_t>(kTicksPerWindow)) {
        return false;
    }
    if (m_samples.size() > static_cast<size_t>(kTicksPerWindow) + 1) {
        m_samples.erase(m_samples.begin());
    }
    const qint64 inWindow = receivedBytes - m_samples.front();
    const qint64 windowMs = static_cast<qint64>(tickMs()) * kTicksPerWindow;
    return inWindow * 1000 < m_floor.bytesPerSecond * windowMs;
}

bool isRetryable(const Failure &failure)
{
    switch (failure.kind) {
    case FailureKind::Network:
    case FailureKind::Timeout:
    // A congested link may recover, and a download the server can continue resumes where it was
    // cut off; a server that is slow on purpose costs at most the tries' windows.
    case FailureKind::TooSlow:
        return true;
    case FailureKind::HttpStatus:
        return failure.httpStatus == 408 || failure.httpStatus == 429 ||
               (failure.httpStatus >= 500 && failure.httpStatus <= 599);
    default:
        return false;
    }
}

std::optional<QDateTime> httpDate(const QByteArray &value, const QDateTime &now)
{
    // Day names are checked for form only: a date is not refused for naming the wrong weekday.
    static const QRegularExpression kImfFixdate(
        QStringLiteral("^(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun), ([0-9]{1,2}) ([A-Za-z]{3}) ([0-9]{4}) "
                       "([0-9]{2}):([0-9]{2}):([0-9]{2}) GMT$"));
    static const QRegularExpression kRfc850(QStringLiteral(
        "^(?:Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday), ([0-9]{2})-([A-Za-z]{3})-"
        "([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) GMT$"));
    static const QRegularExpression kAsctime(
        QStringLiteral("^(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun) ([A-Za-z]{3}) ([ 0-9][0-9]) "
                       "([0-9]{2}):([0-9]{2}):([0-9]{2}) ([0-9]{4})$"));
    static const QStringList kMonths = {
        QStringLiteral("Jan"), QStringLiteral("Feb"), QStringLiteral("Mar"), QStringLiteral("Apr"),
        QStringLiteral("May"), QStringLiteral("Jun"), QStringLiteral("Jul"), QStringLiteral("Aug"),
        QStringLiteral("Sep"), QStringLiteral("Oct"), QStringLiteral("Nov"), QStringLiteral("Dec")};

    const QString text = QString::fromLatin1(value.trimmed());
    // The captures of each form, in the order day, month, year, hour, minute, second.
    QStringList parts;
    if (const QRegularExpressionMatch imf = kImfFixdate.match(text); imf.hasMatch()) {
        parts = imf.capturedTexts().mid(1);
    } else if (const QRegularExpressionMatch old = kRfc850.match(text); old.hasMatch()) {
        parts = old.capturedTexts().mid(1);
    } else if (const QRegularExpressionMatch asc = kAsctime.match(text); asc.hasMatch()) {
        parts = {asc.captured(2), asc.captured(1), asc.captured(6),
                 asc.captured(3), asc.captured(4), asc.captured(5)};
    } else {
        return std::nullopt;
    }
    const qsizetype month = kMonths.indexOf(parts[1]);
    const bool twoDigitYear = parts[2].size() == 2;
    const int thisCentury = now.toUTC().date().year() / 100 * 100;
    const QDate date(parts[2].toInt() + (twoDigitYear ? thisCentury : 0),
                     static_cast<int>(month) + 1, parts[0].trimmed().toInt());
    const QTime time(parts[3].toInt(), parts[4].toInt(), parts[5].toInt());
    if (month < 0 || !date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    const QDateTime when(date, time, Qt::UTC);
    if (twoDigitYear && when > now.addYears(50)) {
        return when.addYears(-100);
    }
    return when;
}

int retryAfterSeconds(const QByteArray &value, const QDateTime &now)
{
    constexpr qint64 kMostSeconds = qint64{24} * 3600;
    const QByteArray text = value.trimmed();
    if (text.isEmpty()) {
        return -1;
    }
    bool isNumber = false;
    const qlonglong seconds = text.toLongLong(&isNumber);
    if (isNumber) {
        return seconds < 0 ? -1 : static_cast<int>(std::min<qlonglong>(seconds, kMostSeconds));
    }
    // Qt's own RFC 2822 reading takes a numeric zone only, never "GMT", so it misses every date
    // an HTTP server sends; it still reads the rare server that gives an offset instead.
    std::optional<QDateTime> when = httpDate(text, now);
    if (!when) {
        const QDateTime withOffset =
            QDateTime::fromString(QString::fromLatin1(text), Qt::RFC2822Date);
        if (!withOffset.isValid()) {
            return -1;
        }
        when = withOffset;
    }
    // Rounded up: the server named the second before which it does not want to be asked.
    const qint64 ms = now.msecsTo(*when);
    return static_cast<int>(std::clamp<qint64>((ms + 999) / 1000, 0, kMostSeconds));
}

int retryDelayMs(int next, int firstDelayMs, int retryAfterSeconds, double jitter)
{
    constexpr int kMostRetryAfterMs = 30 * 1000;
    if (retryAfterSeconds >= 0) {
        return std::min(retryAfterSeconds * 1000, kMostRetryAfterMs);
    }
    const double base =
        static_cast<double>(firstDelayMs) * static_cast<double>(1 << std::clamp(next - 2, 0, 10));
    return static_cast<int>(base * std::clamp(jitter, 0.8, 1.2));
}

std::optional<Validator> rangeValidator(const QByteArray &etag, const QByteArray &lastModified)
{
    const QByteArray tag = etag.trimmed();
    if (!tag.isEmpty() && !tag.startsWith("W/")) {
        return Validator{QByteArrayLiteral("ETag"), tag};
    }
    const QByteArray date = lastModified.trimmed();
    if (!date.isEmpty()) {
        return Validator{QByteArrayLiteral("Last-Modified"), date};
    }
    return std::nullopt;
}

QString whyNotContinuing(const Resume &resume, const QByteArray &contentRange,
                         const QByteArray &answerValidator)
{
    const QString header = QString::fromLatin1(resume.validator.header);
    const QByteArray sent = resume.validator.value;
    const QByteArray got = answerValidator.trimmed();
    if (got.isEmpty()) {
        return QStringLiteral("the part sent carries no %1, so it may belong to another version "
                              "of the file (%1 %2 was asked for)")
            .arg(header, QString::fromLatin1(sent));
    }
    if (got != sent) {
        return QStringLiteral("the part sent belongs to another version of the file (%1 %2, where "
                              "%3 was asked for)")
            .arg(header, QString::fromLatin1(got), QString::fromLatin1(sent));
    }
    // "bytes FIRST-LAST/TOTAL"
    static const QRegularExpression kRange(
        QStringLiteral("^bytes +([0-9]+) *- *([0-9]+) */ *([0-9]+|\\*)$"));
    const QString range = QString::fromLatin1(contentRange.trimmed());
    const QRegularExpressionMatch parts = kRange.match(range);
    const QString expected =
        QStringLiteral("bytes %1-%2/%3").arg(resume.from).arg(resume.total - 1).arg(resume.total);
    if (!parts.hasMatch()) {
        return QStringLiteral("the part sent has no readable Content-Range (\"%1\", where \"%2\" "
                              "was asked for)")
            .arg(range, expected);
    }
    const qint64 total =
        parts.captured(3) == QLatin1String("*") ? -1 : parts.captured(3).toLongLong();
    if (total != resume.total) {
        return QStringLiteral("the part sent is of a file of another length (\"%1\", where \"%2\" "
                              "was asked for)")
            .arg(range, expected);
    }
    if (parts.captured(1).toLongLong() != resume.from ||
        parts.captured(2).toLongLong() != resume.total - 1) {
        return QStringLiteral("the part sent does not continue the %1 bytes already here (\"%2\", "
                              "where \"%3\" was asked for)")
            .arg(resume.from)
            .arg(range, expected);
    }
    return {};
}

} // namespace freshgate
