#include "support/Files.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

namespace freshgate::test {
namespace {

// Calls visit(relative path, info) for every entry under root that kinds admits, hidden and
// system ones included, at any depth.
template <typename Visit> void walk(const QString &root, QDir::Filters kinds, Visit visit)
{
    const QDir base(root);
    QDirIterator it(root, kinds | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        visit(base.relativeFilePath(it.filePath()), it.fileInfo());
    }
}

} // namespace

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes) {
        c = static_cast<char>(random.generate() & 0xff);
    }
    return bytes;
}

QByteArray patternBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    }
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &content, bool executable)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size()) {
        return false;
    }
    file.close();
    constexpr QFile::Permissions kExecute =
        QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther | QFile::ExeUser;
    return file.setPermissions(executable ? file.permissions() | kExecute
                                          : file.permissions() & ~kExecute);
}

QMap<QString, QByteArray> fileContents(const QString &root)
{
    QMap<QString, QByteArray> contents;
    walk(root, QDir::Files, [&contents](const QString &relative, const QFileInfo &info) {
        QFile file(info.filePath());
        contents.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                 : QByteArray("<unreadable>"));
    });
    return contents;
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QMap<QString, QByteArray> snapshotTree(const QString &root, Snapshot detail)
{
    QMap<QString, QByteArray> tree;
    walk(root, QDir::AllEntries, [&](const QString &relative, const QFileInfo &info) {
        QByteArray entry;
        if (info.isSymLink()) {
            entry = "link:" + QFile::encodeName(info.symLinkTarget());
        } else if (info.isDir()) {
            entry = "folder";
        } else if (!info.isFile()) {
            entry = "special";
        } else {
            QFile file(info.filePath());
            entry = file.open(QIODevice::ReadOnly) ? "file:" + file.readAll()
                                                   : QByteArray("unreadable");
        }
        if (detail == Snapshot::WithPermissions) {
            entry = QByteArray::number(info.permissions().toInt(), 16) + ' ' + entry;
        }
        tree.insert(relative, entry);
    });
    return tree;
}

} // namespace freshgate::test
