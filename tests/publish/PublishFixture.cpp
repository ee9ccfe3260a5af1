#include "PublishFixture.h"

#include "support/Process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace freshgate::test {

namespace {

QByteArray patterned(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = static_cast<quint32>(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        // Runs of repeated bytes among noise, so compression has work to do.
        bytes[i] = static_cast<char>((i / 64) % 3 == 0 ? 'r' : (state >> 16) & 0xff);
    }
    return bytes;
}

bool runGcab(const QStringList &arguments, QByteArray *output, QString *error)
{
    const ProcessRun gcab = runProcess(QStringLiteral("gcab"), arguments);
    if (!gcab.succeeded()) {
        *error = gcab.failure();
        return false;
    }
    *output = gcab.out;
    return true;
}

} // namespace

QMap<QString, quint32> gcabMembers(const QString &cabinet, QString *error)
{
    QMap<QString, quint32> members;
    QByteArray output;
    if (!runGcab({QStringLiteral("-l"), cabinet}, &output, error)) {
        return members;
    }
    // "name size date time 0xNN"; the name may hold blanks.
    static const QRegularExpression line(
        QStringLiteral("^(.+) (\\d+) (\\S+) (\\S+) 0x([0-9A-Fa-f]+)$"));
    for (const QString &text :
         QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch()) {
            *error = QStringLiteral("unexpected gcab line: %1").arg(text);
            return {};
        }
        members.insert(match.captured(1), match.captured(5).toUInt(nullptr, 16));
    }
    return members;
}

QString verifyCabinet(const QString &cabinet, const QString &folder,
                      const QMap<QString, quint32> &attributes)
{
    QString error;
    const QMap<QString, quint32> members = gcabMembers(cabinet, &error);
    if (!error.isEmpty()) {
        return error;
    }

    const QMap<QString, QByteArray> expected = fileContents(folder);
    QMap<QString, quint32> expectedMembers;
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        QString name = it.key();
        name.replace(QLatin1Char('/'), QLatin1Char('\\'));
        expectedMembers.insert(name, attributes.value(name, 0x20));
    }
    if (members != expectedMembers) {
        QStringList got, want;
        for (auto it = members.constBegin(); it != members.constEnd(); ++it) {
            got << QStringLiteral("%1=0x%2").arg(it.key()).arg(it.value(), 0, 16);
        }
        for (auto it = expectedMembers.constBegin(); it != expectedMembers.constEnd(); ++it) {
            want << QStringLiteral("%1=0x%2").arg(it.key()).arg(it.value(), 0, 16);
        }
        return QStringLiteral("%1 lists [%2], expected [%3]")
            .arg(cabinet, got.join(QLatin1String(", ")), want.join(QLatin1String(", ")));
    }

    QTemporaryDir extracted;
    QByteArray output;
    if (!runGcab({QStringLiteral("-x"), QStringLiteral("-C"), extracted.path(), cabinet}, &output,
                 &error)) {
        return error;
    }
    if (fileContents(extracted.path()) != expected) {
        return QStringLiteral("%1 does not extract to the content of %2").arg(cabinet, folder);
    }
    return {};
}

Workspace::Workspace()
{
    const QString name = QString::fromUtf8("caf\xc3\xa9 menu.txt");
    m_valid =
        m_dir.isValid() && writeFile(path(QStringLiteral("res/strings.res")), patterned(3000, 1)) &&
        writeFile(path(QStringLiteral("res/sub/deeper/layout.bin")), patterned(100000, 2)) &&
        writeFile(path(QStringLiteral("res/tools/run.sh")), "#!/bin/sh\necho hi\n", true) &&
        writeFile(path(QStringLiteral("res/") + name), "menu") &&
        writeFile(path(QStringLiteral("data/Data1.dat")), patterned(5000, 3)) &&
        writeFile(path(QStringLiteral("data/more/Data2.dat")), patterned(70000, 4)) &&
        writeFile(path(QStringLiteral("data/.hidden")), "dot") &&
        writeFile(path(QStringLiteral("data2/Data1.dat")), patterned(4000, 5)) &&
        writeFile(path(QStringLiteral("help/Orvane4.chm")), patterned(20000, 6)) &&
        writeFile(path(QStringLiteral("exe/Orvane4.exe")), patterned(40000, 7), true) &&
        writeFile(path(QStringLiteral("exe/lib/helper.dll")), patterned(9000, 8)) &&
        writeFile(path(QStringLiteral("full/setup.exe")), patterned(30000, 9), true) &&
        writeFile(path(QStringLiteral("full/payload/Orvane4.exe")), patterned(40000, 10), true) &&
        writeFile(path(QStringLiteral("full/payload/readme.txt")), "read me\n") &&
        QDir().mkpath(path(QStringLiteral("full/empty")));
}

QString Workspace::path(const QString &relative) const
{
    return relative.isEmpty() ? m_dir.path() : m_dir.filePath(relative);
}

QByteArray Workspace::manifest() const
{
    return readFile(server() + QStringLiteral("/ov4arv.dat"));
}

QStringList Workspace::fullArguments() const
{
    return expand({QStringLiteral("--out"), QStringLiteral("{ws}/www"),
                   QStringLiteral("--resource"), QStringLiteral("3"), QStringLiteral("{ws}/res"),
                   QStringLiteral("--data"), QStringLiteral("2"), QStringLiteral("{ws}/data"),
                   QStringLiteral("--helpfile"), QStringLiteral("5"), QStringLiteral("{ws}/help"),
                   QStringLiteral("--exe"), QStringLiteral("420"), QStringLiteral("{ws}/exe"),
                   QStringLiteral("--full-exe"), QStringLiteral("{ws}/full"),
                   QStringLiteral("--full-threshold"), QStringLiteral("410")});
}

QStringList Workspace::expand(const QStringList &arguments) const
{
    QStringList expanded;
    for (QString argument : arguments) {
        expanded << argument.replace(QStringLiteral("{ws}"), path());
    }
    return expanded;
}

QMap<QString, quint32> Workspace::expectedAttributes(const QString &folder)
{
    if (folder == QLatin1String("res")) {
        return {{QStringLiteral("tools\\run.sh"), 0x60},
                {QString::fromUtf8("caf\xc3\xa9 menu.txt"), 0xa0}};
    }
    if (folder == QLatin1String("exe")) {
        return {{QStringLiteral("Orvane4.exe"), 0x60}};
    }
    if (folder == QLatin1String("full")) {
        return {{QStringLiteral("setup.exe"), 0x60},
                {QStringLiteral("payload\\Orvane4.exe"), 0x60}};
    }
    return {};
}

} // namespace freshgate::test
