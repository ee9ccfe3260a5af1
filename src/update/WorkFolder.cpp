#include "update/WorkFolder.h"

#include "base/DurableFile.h"
#include "base/FileProbe.h"
#include "install/OwnFolders.h"
#include "update/RunLog.h"

#include <QDir>
#include <QFileInfo>
#include <filesystem>
#include <system_error>

namespace freshgate {

Status prepareWorkFolder(const QString &workFolder, const QStringList &alsoKeep)
{
    const QString shown = QDir::toNativeSeparators(workFolder);
    const QFileInfo info(workFolder);
    if (info.exists() && !info.isDir()) {
        return fileFailure(FailureKind::Disk, workFolder,
                           QStringLiteral("cannot make the work folder \"%1\"").arg(shown),
                           QStringLiteral("a file of that name is in the way"));
    }
    std::error_code ec;
    std::filesystem::create_directories(toPath(workFolder), ec);
    if (ec) {
        return fileFailure(ec, workFolder,
                           QStringLiteral("cannot make the work folder \"%1\"").arg(shown));
    }
    if (Status writable = probeFolder(workFolder); !writable) {
        return writable;
    }
    QDir dir(workFolder);
    const QStringList kept = keptNames(toPath(workFolder)) + alsoKeep;
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (kept.contains(name)) {
            continue;
        }
        // remove_all takes a link away, never what it points to.
        std::filesystem::remove_all(toPath(dir.filePath(name)), ec);
        if (ec) {
            qCWarning(lcRun).noquote() << "cannot remove" << dir.filePath(name)
                                       << "from the work folder:" << errorText(ec);
        }
    }
    return {};
}

} // namespace freshgate
