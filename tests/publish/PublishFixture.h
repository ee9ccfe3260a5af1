#pragma once

#include "support/Files.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace freshgate::test {

// A cabinet as the real gcab command lists it: member name to attribute bits.
// Empty, with *error set, when gcab fails.
[[nodiscard]] QMap<QString, quint32> gcabMembers(const QString &cabinet, QString *error);

// Checks cabinet against folder with the real gcab command: the members are
// exactly the folder's files ("\" between folders) with the attributes
// expected (0x20 when absent from the map), and they extract byte-identical.
// Returns what differs, or an empty string.
[[nodiscard]] QString verifyCabinet(const QString &cabinet, const QString &folder,
                                    const QMap<QString, quint32> &attributes);

// A maker's workspace in a temporary folder: five component folders with
// nested, executable, hidden and non-ASCII files, a second data folder, and
// the server root "www" (not created).
class Workspace {
public:
    Workspace();
    [[nodiscard]] bool isValid() const { return m_valid; }
    [[nodiscard]] QString path(const QString &relative = QString()) const;
    [[nodiscard]] QString out() const { return path(QStringLiteral("www")); }
    [[nodiscard]] QString server() const { return path(QStringLiteral("www/freshgate")); }
    [[nodiscard]] QByteArray manifest() const;

    // Arguments that publish every component: manifest 3*2*5*420*410.
    [[nodiscard]] QStringList fullArguments() const;
    // Replaces "{ws}" in each argument by the workspace folder.
    [[nodiscard]] QStringList expand(const QStringList &arguments) const;

    // Attributes each folder's cabinet must show for members other than 0x20.
    static QMap<QString, quint32> expectedAttributes(const QString &folder);

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};

} // namespace freshgate::test
