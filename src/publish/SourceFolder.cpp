#include "publish/SourceFolder.h"

#include "protocol/MemberName.h"
#include "publish/PublishFailure.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <algorithm>

namespace freshgate {

namespace {

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

Failure unreadable(const QFileInfo &info, const QString &what)
{
    const QString shown = QDir::toNativeSeparators(info.filePath());
    return fileFailure(FailureKind::Denied, info.filePath(),
                       QStringLiteral("%1 %2 cannot be read").arg(what, shown), QString());
}

// The entry's own checks: what it is, its name, whether it can be read. Folders give no file.
Result<std::optional<SourceFile>> checkEntry(const QFileInfo &info, const QString &relative)
{
    const QString shown = QDir::toNativeSeparators(info.filePath());
    if (info.isSymLink() || info.isJunction()) {
        return refused(QStringLiteral("%1 is a symbolic link; copy the file it points to into "
                                      "the folder instead")
                           .arg(shown));
    }
    if (info.isDir()) {
        // The listing skips folders it cannot enter, which would drop files silently.
        if (!info.isReadable() || !info.isExecutable()) {
            return unreadable(info, QStringLiteral("folder"));
        }
        return std::optional<SourceFile>();
    }
    if (!info.isFile()) {
        return refused(
            QStringLiteral("%1 is not a regular file (a device, pipe or socket)").arg(shown));
    }
    if (const Status name = checkMemberPath(relative); !name) {
        return name.failure();
    }
    if (!info.isReadable()) {
        return unreadable(info, QStringLiteral("file"));
    }
    SourceFile file;
    file.memberName = relative;
    file.memberName.replace(QLatin1Char('/'), QLatin1Char('\\'));
    file.path = info.absoluteFilePath();
    file.size = info.size();
    file.executable = info.permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    return std::optional<SourceFile>(file);
}

} // namespace

Status checkMemberPath(const QString &relativePath)
{
    for (const QString &component : relativePath.split(QLatin1Char('/'))) {
        const QString problem = componentProblem(component);
        if (!problem.isEmpty()) {
            return refused(QStringLiteral("%1 %2").arg(relativePath, problem));
        }
    }
    QString memberName = relativePath;
    memberName.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (const Result<QString> path = safeMemberPath(memberName); !path) {
        return refused(QStringLiteral("%1 is a name Freshgate refuses to extract: %2")
                           .arg(relativePath, path.message()));
    }
    return {};
}

Result<QList<SourceFile>> scanSourceFolder(const QString &folder)
{
    const QFileInfo top(folder);
    const QString shown = QDir::toNativeSeparators(folder);
    if (!top.exists()) {
        return refused(QStringLiteral("folder %1 does not exist").arg(shown));
    }
    if (!top.isDir()) {
        return refused(QStringLiteral("%1 is not a folder").arg(shown));
    }
    if (!top.isReadable() || !top.isExecutable()) {
        return unreadable(top, QStringLiteral("folder"));
    }

    const QDir root(top.absoluteFilePath());
    QList<SourceFile> files;
    QHash<QString, QString> byFoldedName;
    QDirIterator it(root.path(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString relative = root.relativeFilePath(it.fileInfo().absoluteFilePath());
        Result<std::optional<SourceFile>> entry = checkEntry(it.fileInfo(), relative);
        if (!entry) {
            return entry.failure();
        }
        if (!entry.value()) {
            continue;
        }
        const QString folded = relative.toCaseFolded();
        const auto clash = byFoldedName.constFind(folded);
        if (clash != byFoldedName.constEnd()) {
            return refused(QStringLiteral("%1 and %2 in %3 differ only in case; Windows would "
                                          "keep only one of them")
                               .arg(*clash, relative, shown));
        }
        byFoldedName.insert(folded, relative);
        files.append(*entry.value());
    }
    if (files.isEmpty()) {
        return refused(QStringLiteral("folder %1 holds no files").arg(shown));
    }

    std::sort(files.begin(), files.end(),
              [](const SourceFile &a, const SourceFile &b) { return a.memberName < b.memberName; });
    return files;
}

} // namespace freshgate
