#include "update/WorkFolder.h"

#include "update/RunLog.h"

#include <QDir>
#include <QFile>

namespace freshgate {

void prepareWorkFolder(const QString &workFolder)
{
    QDir dir(workFolder);
    if (!dir.exists() && !QDir().mkpath(workFolder)) {
        qCWarning(lcRun) << "cannot create the work folder" << workFolder;
        return;
    }
    const QStringList files = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : files) {
        if (!QFile::remove(dir.filePath(name))) {
            qCWarning(lcRun) << "cannot remove" << dir.filePath(name) << "from the work folder";
        }
    }
}

} // namespace freshgate
