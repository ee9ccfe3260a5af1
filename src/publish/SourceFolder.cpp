#include "publish/SourceFolder.h"

#include "protocol/MemberName.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <algorithm>

namespace freshgate {

namespace {

bool fail(QString *error, const QString &text)
{
    if (error) {
        *error = text;
    }
    return false;
}

// What the extractor would take but the publisher still refuses, because the maker surely
// meant something else: a "\" inside a file name, or a name that is not UTF-8. Everything else
// (names Windows cannot store, device names, names that climb out) is the extractor's own rule.
QString componentProblem(const QString &component)
{
    if (component.contains(QLatin1Char('\\'))) {
        return QStringLiteral(
            "has \"\\\" in its name, which Freshgate reads as a folder separator");
    }
    if (component.contains(QChar::ReplacementCharacter)) {
        return QStringLiteral("has a name that is not valid UTF-8");
    }
    return {};
}

} // namespace

QString memberPathProblem(const QString &relativePath)
{
    for (const QString &component : relativePath.split(QLatin1Char('/'))) {
        QString problem = componentProblem(component);
        if (!problem.isEmpty()) {
            return problem;
        }
    }
    QString memberName = relativePath;
    memberName.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (const Result<QString> path = safeMemberPath(memberName); !path) {
        return QStringLiteral("is a name Freshgate refuses to extract: %1").arg(path.message());
    }
    return {};
}

bool scanSourceFolder(const QString &folder, QList<SourceFile> *files, QString *error)
{
    files->clear();
    const QFileInfo top(folder);
    if (!top.exists()) {
        return fail(error, QStringLiteral("folder %1 does not exist").arg(folder));
    }
    if (!top.isDir()) {
        return fail(error, QStringLiteral("%1 is not a folder").arg(folder));
    }
    if (!top.isReadable() || !top.isExecutable()) {
        return fail(error, QStringLiteral("folder %1 cannot be read").arg(folder));
    }

    const QDir root(top.absoluteFilePath());
    QHash<QString, QString> byFoldedName;
    QDirIterator it(root.path(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = root.relativeFilePath(info.absoluteFilePath());
        if (info.isSymLink() || info.isJunction()) {
            return fail(error, QStringLiteral("%1 is a symbolic link; copy the file it points to "
                                              "into the folder instead")
                                   .arg(info.filePath()));
        }
        if (info.isDir()) {
            // The listing skips folders it cannot enter, which would drop files silently.
            if (!info.isReadable() || !info.isExecutable()) {
                return fail(error, QStringLiteral("folder %1 cannot be read").arg(info.filePath()));
            }
            continue;
        }
        if (!info.isFile()) {
            return fail(error, QStringLiteral("%1 is not a regular file (a device, pipe or socket)")
                                   .arg(info.filePath()));
        }
        const QString problem = memberPathProblem(relative);
        if (!problem.isEmpty()) {
            return fail(error, QStringLiteral("%1 %2").arg(info.filePath(), problem));
        }
        if (!info.isReadable()) {
            return fail(error, QStringLiteral("%1 cannot be read").arg(info.filePath()));
        }

        const QString folded = relative.toCaseFolded();
        const auto clash = byFoldedName.constFind(folded);
        if (clash != byFoldedName.constEnd()) {
            return fail(error, QStringLiteral("%1 and %2 in %3 differ only in case; Windows would "
                                              "keep only one of them")
                                   .arg(*clash, relative, folder));
        }
        byFoldedName.insert(folded, relative);

        SourceFile file;
        file.memberName = relative;
        file.memberName.replace(QLatin1Char('/'), QLatin1Char('\\'));
        file.path = info.absoluteFilePath();
        file.size = info.size();
        file.executable =
            info.permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
        files->append(file);
    }
    if (files->isEmpty()) {
        return fail(error, QStringLiteral("folder %1 holds no files").arg(folder));
    }

    std::sort(files->begin(), files->end(),
              [](const SourceFile &a, const SourceFile &b) { return a.memberName < b.memberName; });
    return true;
}

} // namespace freshgate
