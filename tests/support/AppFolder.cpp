#include "support/AppFolder.h"

#include "support/Files.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace freshgate::test {

AppFolder::AppFolder() = default;

QString AppFolder::filePath(const QString &relative) const
{
    return QDir(path()).filePath(relative);
}

bool AppFolder::write(const QString &relative, const QByteArray &content) const
{
    const QString target = filePath(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile file(target);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

QByteArray AppFolder::read(const QString &relative) const
{
    return readFile(filePath(relative));
}

bool AppFolder::exists(const QString &relative) const
{
    return QFileInfo::exists(filePath(relative));
}

bool AppFolder::writeMarkerProgram(const QString &relative, bool executable) const
{
    const QString marker = markerFor(relative);
    const QByteArray script = "#!/bin/sh\nprintf '%s\\n%s\\n' \"" + relative.toUtf8() +
                              "\" \"$(pwd)\" > '" + marker.toUtf8() + ".tmp'\nmv '" +
                              marker.toUtf8() + ".tmp' '" + marker.toUtf8() + "'\n";
    if (!write(relative, script)) {
        return false;
    }
    QFile::Permissions perms =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable) {
        perms |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    }
    return QFile::setPermissions(filePath(relative), perms);
}

QString AppFolder::markerFor(const QString &relative) const
{
    return QFileInfo(filePath(relative)).absolutePath() + QStringLiteral("/marker");
}

QMap<QString, QByteArray> AppFolder::snapshot(const QString &relative) const
{
    return fileContents(relative.isEmpty() ? path() : filePath(relative));
}

QString SettingsFile::iniPath() const
{
    return QDir(m_dir.path()).filePath(QStringLiteral("Velmora Orvane4.ini"));
}

QString SettingsFile::iniText() const
{
    return QString::fromUtf8(readFile(iniPath()));
}

bool SettingsFile::writeIni(const QByteArray &text) const
{
    return writeFile(iniPath(), text);
}

void SettingsFile::clear() const
{
    QFile::remove(iniPath());
}

} // namespace freshgate::test
