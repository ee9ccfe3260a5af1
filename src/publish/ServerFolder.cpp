#include "publish/ServerFolder.h"

#include "base/DurableFile.h"
#include "protocol/Components.h"
#include "protocol/Version.h"
#include "publish/PublishFailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <filesystem>

#ifdef __linux__
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#endif

namespace freshgate {

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// A free name beside path, for moving the old folder out of the way.
Result<QString> freeSiblingName(const QString &path)
{
    const QFileInfo info(path);
    QTemporaryDir probe(info.absolutePath() +
                        QStringLiteral("/.%1.old-XXXXXX").arg(info.fileName()));
    if (!probe.isValid()) {
        return fileFailure(
            FailureKind::Disk, info.absolutePath(),
            QStringLiteral("cannot make a folder in %1").arg(shown(info.absolutePath())),
            probe.errorString());
    }
    probe.remove();
    return probe.path();
}

// Renames a folder to a free name, with the system's reason when it cannot.
Status renameFolder(const QString &from, const QString &to, const QString &doing)
{
    std::error_code ec;
    std::filesystem::rename(toPath(from), toPath(to), ec);
    if (ec) {
        return fileFailure(ec, from, doing);
    }
    return {};
}

#ifdef __linux__
// Both names stay taken throughout, so the web server never finds the folder missing.
bool exchangeFolders(const QString &staged, const QString &target)
{
    return ::renameat2(AT_FDCWD, QFile::encodeName(staged).constData(), AT_FDCWD,
                       QFile::encodeName(target).constData(), RENAME_EXCHANGE) == 0;
}
#endif

} // namespace

std::optional<qint16> parseGivenVersion(const QString &text)
{
    // Freshgate itself reads blanks and a "+" too, but a maker's typo should
    // not reach every user as a manifest field.
    if (text != text.trimmed() || text.startsWith(QLatin1Char('+'))) {
        return std::nullopt;
    }
    return parseVersion(text);
}

Result<ServerFolderState> readServerFolder(const QString &path)
{
    ServerFolderState state;
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction()) {
        return refused(QStringLiteral("%1 is a symbolic link; give the folder that holds the "
                                      "real server folder instead")
                           .arg(shown(path)));
    }
    if (!info.exists()) {
        return state;
    }
    if (!info.isDir()) {
        return refused(QStringLiteral("%1 is not a folder").arg(shown(path)));
    }

    state.exists = true;
    state.entries =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QString manifestName = QLatin1String(kManifestFile);
    if (!state.entries.contains(manifestName)) {
        return state;
    }

    QFile manifest(QDir(path).filePath(manifestName));
    if (!manifest.open(QIODevice::ReadOnly)) {
        return qtFileFailure(manifest,
                             QStringLiteral("cannot read %1").arg(shown(manifest.fileName())));
    }
    const Manifest fields = parseManifest(QString::fromUtf8(manifest.readAll()));
    for (size_t i = 0; i < fields.fields.size(); ++i) {
        state.fields[i] = parseVersion(fields.fields[i]);
    }
    return state;
}

Result<QString> replaceFolder(const QString &staged, const QString &target)
{
    const QString renaming =
        QStringLiteral("cannot rename %1 to %2").arg(shown(staged), shown(target));
    if (!QFileInfo::exists(target)) {
        if (const Status moved = renameFolder(staged, target, renaming); !moved) {
            return moved.failure();
        }
        return QString();
    }

#ifdef __linux__
    if (exchangeFolders(staged, target)) {
        return QDir(staged).removeRecursively() ? QString() : staged;
    }
    // Not every file system can exchange names; the two renames below still
    // never leave a half-written folder in place.
#endif

    const Result<QString> aside = freeSiblingName(target);
    if (!aside) {
        return aside.failure().within(
            QStringLiteral("cannot move the old %1 aside").arg(shown(target)));
    }
    if (const Status moved = renameFolder(
            target, *aside, QStringLiteral("cannot move the old %1 aside").arg(shown(target)));
        !moved) {
        return moved.failure();
    }
    if (const Status moved = renameFolder(staged, target, renaming); !moved) {
        if (const Status back = renameFolder(
                *aside, target,
                QStringLiteral("nor put the old folder back from %1").arg(shown(*aside)));
            !back) {
            return back.failure().within(moved.message());
        }
        return moved.failure();
    }
    return QDir(*aside).removeRecursively() ? QString() : *aside;
}

} // namespace freshgate
