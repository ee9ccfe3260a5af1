#include "protocol/Manifest.h"

#include "protocol/Version.h"

#include <QStringList>

namespace freshgate {

Manifest parseManifest(const QString &text)
{
    Manifest manifest;
    int field = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size() && field < Manifest::kFields; ++i) {
        if (i == text.size() || text[i] == QLatin1Char('*')) {
            manifest.fields[static_cast<size_t>(field)] = text.mid(start, i - start);
            ++field;
            start = i + 1;
        }
    }
    return manifest;
}

QString formatManifest(const std::array<qint16, Manifest::kFields> &fields)
{
    QStringList texts;
    for (const qint16 field : fields) {
        texts << QString::number(field);
    }
    return texts.join(QLatin1Char('*'));
}

bool Manifest::offersAnyVersion() const
{
    for (int field = 0; field < 4; ++field) {
        if (parseVersion(fields[static_cast<size_t>(field)])) {
            return true;
        }
    }
    return false;
}

} // namespace freshgate
