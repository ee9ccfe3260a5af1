#include "publish/ServerFolder.h"

#include "protocol/Components.h"
#include "protocol/Version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#ifdef __linux__
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#endif

namespace freshgate {

namespace {

bool fail(QString *error, const QString &text)
{
    if (error) {
        *error = text;
    }
    return false;
}

// A free name beside path, for moving the old folder out of the way.
QString freeSiblingName(const QString &path)
{
    const QFileInfo info(path);
    QTemporaryDir probe(info.absolutePath() +
                        QStringLiteral("/.%1.old-XXXXXX").arg(info.fileName()));
    if (!probe.isValid()) {
        return {};
    }
    probe.remove();
    return probe.path();
}

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

bool readServerFolder(const QString &path, ServerFolderState *state, QString *error)
{
    *state = ServerFolderState();
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction()) {
        return fail(error, QStringLiteral("%1 is a symbolic link; give the folder that holds the "
                                          "real server folder instead")
                               .arg(path));
    }
    if (!info.exists()) {
        return true;
    }
    if (!info.isDir()) {
        return fail(error, QStringLiteral("%1 is not a folder").arg(path));
    }

    state->exists = true;
    state->entries =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QString manifestName = QLatin1String(kManifestFile);
    if (!state->entries.contains(manifestName)) {
        return true;
    }

    QFile manifest(QDir(path).filePath(manifestName));
    if (!manifest.open(QIODevice::ReadOnly)) {
        return fail(
            error,
            QStringLiteral("cannot read %1: %2").arg(manifest.fileName(), manifest.errorString()));
    }
    const Manifest fields = parseManifest(QString::fromUtf8(manifest.readAll()));
    for (size_t i = 0; i < fields.fields.size(); ++i) {
        state->fields[i] = parseVersion(fields.fields[i]);
    }
    return true;
}

bool replaceFolder(const QString &staged, const QString &target, QString *leftover, QString *error)
{
    leftover->clear();
    QDir dir;
    if (!QFileInfo::exists(target)) {
        if (dir.rename(staged, target)) {
            return true;
        }
        return fail(error, QStringLiteral("cannot rename %1 to %2").arg(staged, target));
    }

#ifdef __linux__
    if (::renameat2(AT_FDCWD, QFile::encodeName(staged).constData(), AT_FDCWD,
                    QFile::encodeName(target).constData(), RENAME_EXCHANGE) == 0) {
        if (!QDir(staged).removeRecursively()) {
            *leftover = staged;
        }
        return true;
    }
    // Not every file system can exchange names; the two renames below still
    // never leave a half-written folder in place.
#endif

    const QString aside = freeSiblingName(target);
    if (aside.isEmpty() || !dir.rename(target, aside)) {
        return fail(error, QStringLiteral("cannot move the old %1 aside").arg(target));
    }
    if (!dir.rename(staged, target)) {
        if (!dir.rename(aside, target)) {
            return fail(error, QStringLiteral("cannot rename %1 to %2, nor put the old folder "
                                              "back from %3")
                                   .arg(staged, target, aside));
        }
        return fail(error, QStringLiteral("cannot rename %1 to %2").arg(staged, target));
    }
    if (!QDir(aside).removeRecursively()) {
        *leftover = aside;
    }
    return true;
}

} // namespace freshgate
