#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace freshgate::test {

// File name inside the help file -> contents.
using ChmPages = QMap<QString, QByteArray>;

// Compiles pages into dir/name with chmcmd (fp-utils), the way a maker builds
// the product's help file. Returns the .chm path, or empty on failure.
[[nodiscard]] QString buildChm(const QString &dir, const QString &name, const ChmPages &pages);

// A small HTML page with a title.
[[nodiscard]] QByteArray chmPage(const QByteArray &title, const QByteArray &body);

} // namespace freshgate::test
