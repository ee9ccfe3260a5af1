#include "update/WorkFolder.h"

#include "platform/MoveTransaction.h"
#include "update/RunLog.h"

#include <QDir>
#include <QFile>
#include <filesystem>
#include <system_error>

namespace freshgate {

void prepareWorkFolder(const QString &workFolder)
{
    QDir dir(workFolder);
    if (!dir.exists() && !QDir().mkpath(workFolder)) {
        qCWarning(lcRun) << "cannot create the work folder" << workFolder;
        return;
    }
    const QStringList kept = MoveTransaction::keptNames(toPath(workFolder));
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (kept.contains(name)) {
            continue;
        }
        // remove_all takes a link away, never what it points to.
        std::error_code ec;
        std::filesystem::remove_all(toPath(dir.filePath(name)), ec);
        if (ec) {
            qCWarning(lcRun).noquote()
                << "cannot remove" << dir.filePath(name) << "from the work folder:" << text(ec);
        }
    }
}

} // namespace freshgate
