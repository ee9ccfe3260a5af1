#include "protocol/MemberName.h"

#include <QStringList>

namespace freshgate {
namespace {

bool isSeparator(QChar c)
{
    return c == u'\\' || c == u'/';
}

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// Windows opens the device, not a file, for these stems whatever the extension.
bool isDeviceName(QStringView component)
{
    const qsizetype dot = component.indexOf(u'.');
    const QStringView stem = (dot < 0 ? component : component.left(dot)).trimmed();
    static const char16_t *const devices[] = {u"CON", u"PRN",    u"AUX",
                                              u"NUL", u"CONIN$", u"CONOUT$"};
    for (const char16_t *device : devices) {
        if (stem.compare(QStringView(device), Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    if (stem.size() == 4 && stem.at(3) >= u'1' && stem.at(3) <= u'9') {
        const QStringView prefix = stem.left(3);
        return prefix.compare(u"COM", Qt::CaseInsensitive) == 0 ||
               prefix.compare(u"LPT", Qt::CaseInsensitive) == 0;
    }
    return false;
}

QString describe(QChar c)
{
    return QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

Result<QString> safeMemberPath(const QString &name)
{
    const auto refuse = [](const QString &reason) -> Result<QString> {
        return failure(FailureKind::Archive, reason);
    };

    if (name.isEmpty()) {
        return refuse(QStringLiteral("empty name"));
    }
    if (name.size() >= 2 && isSeparator(name.at(0)) && isSeparator(name.at(1))) {
        return refuse(QStringLiteral("UNC or device path"));
    }
    if (isSeparator(name.at(0))) {
        return refuse(QStringLiteral("absolute path"));
    }
    if (name.size() >= 2 && isAsciiLetter(name.at(0)) && name.at(1) == u':') {
        return refuse(QStringLiteral("carries a drive"));
    }
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || QStringView(u":*?\"<>|").contains(c)) {
            return refuse(QStringLiteral("character %1 cannot be in a file name").arg(describe(c)));
        }
    }

    QStringList kept;
    qsizetype start = 0;
    while (start <= name.size()) {
        qsizetype end = start;
        while (end < name.size() && !isSeparator(name.at(end))) {
            ++end;
        }
        const QStringView component = QStringView(name).mid(start, end - start);
        const bool last = end == name.size();
        if (component == u"..") {
            return refuse(QStringLiteral("climbs out with \"..\""));
        }
        if (component.isEmpty() || component == u".") {
            if (last) {
                return refuse(QStringLiteral("names a folder, not a file"));
            }
        } else if (component.endsWith(u'.') || component.endsWith(u' ')) {
            return refuse(QStringLiteral("a name part ends in a dot or a space"));
        } else if (isDeviceName(component)) {
            return refuse(QStringLiteral("\"%1\" is a device name").arg(component));
        } else {
            kept.append(component.toString());
        }
        start = end + 1;
    }
    return kept.join(u'/');
}

} // namespace freshgate
