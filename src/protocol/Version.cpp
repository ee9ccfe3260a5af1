#include "protocol/Version.h"

#include <limits>

namespace freshgate {
namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') ||
           c == QLatin1Char('\n');
}

void say(QString *why, const QString &text)
{
    if (why) {
        *why = text;
    }
}

} // namespace

std::optional<qint16> parseVersion(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    const QStringView digits = QStringView(text).mid(begin, end - begin);
    if (digits.isEmpty()) {
        return std::nullopt;
    }
    // toInt alone would accept blanks inside and other bases; take only [+-]digits.
    for (qsizetype i = 0; i < digits.size(); ++i) {
        const QChar c = digits[i];
        const bool sign = i == 0 && (c == QLatin1Char('-') || c == QLatin1Char('+'));
        if (!sign && (c < QLatin1Char('0') || c > QLatin1Char('9'))) {
            return std::nullopt;
        }
    }
    bool ok = false;
    const qlonglong value = digits.toLongLong(&ok);
    if (!ok || value < std::numeric_limits<qint16>::min() ||
        value > std::numeric_limits<qint16>::max()) {
        return std::nullopt;
    }
    return static_cast<qint16>(value);
}

bool isOutOfDate(const QString &installed, const QString &offered, QString *why)
{
    const auto offer = parseVersion(offered);
    if (!offer) {
        say(why,
            QStringLiteral("offered version \"%1\" is not a version; not fetched").arg(offered));
        return false;
    }
    const auto have = parseVersion(installed);
    if (!have) {
        say(why, QStringLiteral("installed version \"%1\" is not a version; taking %2")
                     .arg(installed, offered));
        return true;
    }
    if (*offer > *have) {
        say(why, QStringLiteral("installed %1, offered %2: out of date").arg(*have).arg(*offer));
        return true;
    }
    say(why, QStringLiteral("installed %1, offered %2: up to date").arg(*have).arg(*offer));
    return false;
}

bool takesFullPackage(const QString &installedExe, const QString &threshold, QString *why)
{
    const auto have = parseVersion(installedExe);
    const auto limit = parseVersion(threshold);
    if (!have || !limit) {
        say(why, QStringLiteral("installed \"%1\" or threshold \"%2\" is not a version; "
                                "taking the full package")
                     .arg(installedExe, threshold));
        return true;
    }
    const bool full = *have <= *limit;
    say(why, QStringLiteral("installed %1, full package up to %2: %3")
                 .arg(*have)
                 .arg(*limit)
                 .arg(full ? QStringLiteral("full package") : QStringLiteral("patch")));
    return full;
}

} // namespace freshgate
