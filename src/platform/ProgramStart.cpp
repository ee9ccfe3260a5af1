#include "platform/ProgramStart.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace freshgate {
namespace {

void makeExecutable(const QString &program)
{
#ifndef Q_OS_WIN
    QFile file(program);
    QFileDevice::Permissions perms = file.permissions();
    const auto before = perms;
    if (perms & QFileDevice::ReadOwner) {
        perms |= QFileDevice::ExeOwner;
    }
    if (perms & QFileDevice::ReadGroup) {
        perms |= QFileDevice::ExeGroup;
    }
    if (perms & QFileDevice::ReadOther) {
        perms |= QFileDevice::ExeOther;
    }
    if (perms != before) {
        file.setPermissions(perms);
    }
#else
    Q_UNUSED(program);
#endif
}

} // namespace

bool startProgram(const QString &program, const QString &workingFolder, QString *why)
{
    const QFileInfo info(program);
    if (!info.isFile()) {
        if (why) {
            *why = QStringLiteral("%1 does not exist").arg(program);
        }
        return false;
    }
    makeExecutable(program);
    if (!QProcess::startDetached(info.absoluteFilePath(), {}, workingFolder)) {
        if (why) {
            *why = QStringLiteral("%1 would not start").arg(program);
        }
        return false;
    }
    return true;
}

} // namespace freshgate
