#include "platform/StringTable.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace freshgate {
namespace {

constexpr char kFallbackBlock[] = "en-US";

const QJsonObject &table()
{
    static const QJsonObject blocks = [] {
        QFile file(QStringLiteral(":/strings.json"));
        if (!file.open(QIODevice::ReadOnly)) {
            qFatal("the string table is not compiled into the program");
        }
        return QJsonDocument::fromJson(file.readAll()).object();
    }();
    return blocks;
}

} // namespace

StringTable::StringTable(const QLocale &locale) : m_block(blockFor(locale))
{
    const QJsonObject rows = table().value(m_block).toObject();
    for (auto it = rows.constBegin(); it != rows.constEnd(); ++it) {
        m_rows.insert(it.key().toInt(), it.value().toString());
    }
}

QString StringTable::text(int id) const
{
    return m_rows.value(id);
}

bool StringTable::contains(int id) const
{
    return m_rows.contains(id);
}

QString StringTable::blockFor(const QLocale &locale)
{
    // QLocale names use "_"; the table's blocks are written "en-GB".
    const QString name = locale.name().replace(QLatin1Char('_'), QLatin1Char('-'));
    return table().contains(name) ? name : QLatin1String(kFallbackBlock);
}

QStringList StringTable::blocks()
{
    return table().keys();
}

const StringTable &strings()
{
    static const StringTable systemTable;
    return systemTable;
}

QString LoadResString(int id)
{
    return strings().text(id);
}

QString LoadResString(StringId id)
{
    return LoadResString(static_cast<int>(id));
}

} // namespace freshgate
