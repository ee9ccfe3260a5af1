#include "install/OwnFolders.h"

#include "base/DurableFile.h"

#include <QDir>
#include <algorithm>

namespace freshgate {

namespace fs = std::filesystem;

namespace {

constexpr char kJournalPrefix[] = "~journal";
constexpr char kBackupPrefix[] = "~backup";

JournalNames numbered(const fs::path &workFolder, int n)
{
    const QString suffix = QStringLiteral("-%1").arg(n);
    return {workFolder / toPath(QLatin1String(kJournalPrefix) + suffix),
            workFolder / toPath(QLatin1String(kBackupPrefix) + suffix)};
}

} // namespace

QList<JournalNames> journalsIn(const fs::path &workFolder)
{
    QList<JournalNames> journals;
    if (pathExists(workFolder / kJournalPrefix)) {
        journals.append({workFolder / kJournalPrefix, workFolder / kBackupPrefix});
    }
    QList<int> numbers;
    const QStringList names = QDir(fromPath(workFolder))
                                  .entryList({QLatin1String(kJournalPrefix) + QStringLiteral("-*")},
                                             QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        bool ok = false;
        const int n = name.mid(static_cast<qsizetype>(sizeof(kJournalPrefix))).toInt(&ok);
        if (ok && n > 0) {
            numbers.append(n);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    for (const int n : std::as_const(numbers)) {
        journals.append(numbered(workFolder, n));
    }
    return journals;
}

JournalNames newJournal(const fs::path &workFolder)
{
    for (int n = 1;; ++n) {
        JournalNames names = numbered(workFolder, n);
        if (!pathExists(names.journal) && !pathExists(withSuffix(names.journal, ".tmp")) &&
            !pathExists(names.backup)) {
            return names;
        }
    }
}

bool isOwnPath(const QString &path, const QString &workFolder)
{
    const QString relative = QDir(workFolder).relativeFilePath(path);
    if (!isInside(path, workFolder) || relative == QLatin1String(".")) {
        return false;
    }
    const QString top = relative.section(u'/', 0, 0);
    return top == QLatin1String(kStagingFolder) || top == QLatin1String(kKeptFolder) ||
           top.startsWith(QLatin1String(kJournalPrefix)) ||
           top.startsWith(QLatin1String(kBackupPrefix));
}

QStringList keptNames(const fs::path &workFolder)
{
    QStringList names{QLatin1String(kKeptFolder)};
    for (const JournalNames &journal : journalsIn(workFolder)) {
        names << fromPath(journal.journal.filename()) << fromPath(journal.backup.filename());
    }
    return names;
}

} // namespace freshgate
