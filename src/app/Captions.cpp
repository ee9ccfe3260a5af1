#include "app/Captions.h"

#include <limits>

namespace freshgate {
namespace {

bool isDigits(const QString &text)
{
    if (text.isEmpty()) {
        return false;
    }
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

QString lookupOr(const QString &stored, qint64 id, const StringLookup &lookup)
{
    const QString text = lookup(static_cast<int>(id));
    return text.isEmpty() ? stored : text;
}

} // namespace

QString localizedWindowCaption(const QString &stored, const StringLookup &lookup)
{
    bool ok = false;
    const qint64 id = stored.toLongLong(&ok);
    if (!ok || !isDigits(stored) || id > std::numeric_limits<qint32>::max()) {
        return stored;
    }
    return lookupOr(stored, id, lookup);
}

QString localizedControlCaption(const QString &stored, const StringLookup &lookup)
{
    if (!stored.startsWith(QLatin1Char('_'))) {
        return stored;
    }
    const QString rest = stored.mid(1);
    if (!isDigits(rest) || rest.size() > 5) {
        return stored;
    }
    const qint64 id = rest.toLongLong();
    if (id > std::numeric_limits<qint16>::max()) {
        return stored;
    }
    return lookupOr(stored, id, lookup);
}

} // namespace freshgate
