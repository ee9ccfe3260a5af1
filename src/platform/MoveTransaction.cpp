#include "platform/MoveTransaction.h"

#include <QFile>
#include <QStringList>
#include <string>

namespace freshgate {

namespace fs = std::filesystem;

fs::path toPath(const QString &path)
{
#ifdef Q_OS_WIN
    return fs::path(path.toStdWString());
#else
    return fs::path(QFile::encodeName(path).toStdString());
#endif
}

QString fromPath(const fs::path &path)
{
#ifdef Q_OS_WIN
    return QString::fromStdWString(path.native());
#else
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
#endif
}

QString text(const std::error_code &ec)
{
    return QString::fromLocal8Bit(ec.message());
}

std::error_code moveFile(const fs::path &from, const fs::path &to)
{
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec != std::errc::cross_device_link)
        return ec;
    ec.clear();
    if (fs::exists(fs::symlink_status(to, ec)))
        return std::make_error_code(std::errc::file_exists);
    if (fs::is_symlink(fs::symlink_status(from, ec)))
        fs::copy_symlink(from, to, ec);
    else
        fs::copy_file(from, to, fs::copy_options::none, ec);
    if (!ec)
        fs::remove(from, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(to, ignored);
    }
    return ec;
}

MoveTransaction::MoveTransaction(fs::path destination, fs::path backupFolder)
    : m_destination(std::move(destination)), m_backupFolder(std::move(backupFolder))
{
}

bool MoveTransaction::openDestination(QString *error)
{
    std::vector<fs::path> missing;
    for (fs::path p = m_destination; !p.empty(); p = p.parent_path()) {
        std::error_code ec;
        const fs::file_status status = fs::status(p, ec);
        if (fs::is_directory(status))
            break;
        if (status.type() != fs::file_type::not_found) {
            *error = QStringLiteral("\"%1\" is not a folder").arg(fromPath(p));
            return false;
        }
        missing.push_back(p);
        if (p == p.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        std::error_code ec;
        fs::create_directory(*it, ec);
        if (ec) {
            *error = QStringLiteral("cannot create \"%1\": %2").arg(fromPath(*it), text(ec));
            return false;
        }
        m_journal.push_back({Step::CreatedFolder, *it, {}, fromPath(*it)});
    }
    return true;
}

bool MoveTransaction::remove(const QString &rel, QString *error)
{
    return clear(m_destination / toPath(rel), rel, error);
}

bool MoveTransaction::moveIn(const fs::path &from, const QString &rel, QString *error)
{
    const fs::path target = m_destination / toPath(rel);
    if (!makeParents(rel, error) || !clear(target, rel, error))
        return false;
    if (const std::error_code ec = moveFile(from, target)) {
        *error = QStringLiteral("cannot move \"%1\" into place: %2").arg(rel, text(ec));
        return false;
    }
    m_journal.push_back({Step::MovedIn, target, {}, rel});
    return true;
}

bool MoveTransaction::rollback(QString *problems)
{
    QStringList failed;
    bool restored = true;
    for (auto it = m_journal.rbegin(); it != m_journal.rend(); ++it) {
        std::error_code ec;
        switch (it->kind) {
        case Step::MovedIn:
        case Step::CreatedFolder:
            fs::remove(it->path, ec);
            break;
        case Step::BackedUp:
            ec = moveFile(it->kept, it->path);
            restored = restored && !ec;
            break;
        }
        if (ec)
            failed.append(QStringLiteral("\"%1\": %2").arg(it->rel, text(ec)));
    }
    m_journal.clear();
    *problems = failed.join(QStringLiteral(", "));
    return restored;
}

bool MoveTransaction::makeParents(const QString &rel, QString *error)
{
    for (qsizetype slash = rel.indexOf(u'/'); slash >= 0; slash = rel.indexOf(u'/', slash + 1)) {
        const QString folder = rel.left(slash);
        if (m_knownFolders.contains(folder))
            continue;
        const fs::path path = m_destination / toPath(folder);
        std::error_code ec;
        const fs::file_status status = fs::status(path, ec);
        if (status.type() == fs::file_type::not_found) {
            fs::create_directory(path, ec);
            if (ec) {
                *error = QStringLiteral("cannot create \"%1\": %2").arg(folder, text(ec));
                return false;
            }
            m_journal.push_back({Step::CreatedFolder, path, {}, folder});
        } else if (!fs::is_directory(status)) {
            *error = QStringLiteral("\"%1\" is in the way: it is not a folder").arg(folder);
            return false;
        }
        m_knownFolders.insert(folder);
    }
    return true;
}

bool MoveTransaction::clear(const fs::path &target, const QString &rel, QString *error)
{
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(target, ec);
    if (status.type() == fs::file_type::not_found)
        return true;
    if (status.type() == fs::file_type::none) {
        *error = QStringLiteral("cannot look at \"%1\": %2").arg(rel, text(ec));
        return false;
    }
    if (fs::is_directory(status)) {
        *error = QStringLiteral("a folder is in the way of \"%1\"").arg(rel);
        return false;
    }
    if (!m_backupReady) {
        fs::create_directories(m_backupFolder, ec);
        if (ec) {
            *error = QStringLiteral("cannot create the backup folder: %1").arg(text(ec));
            return false;
        }
        m_backupReady = true;
    }
    const fs::path kept = m_backupFolder / std::to_string(m_journal.size());
    ec = moveFile(target, kept);
    if (ec) {
        *error = QStringLiteral("cannot move the old \"%1\" aside: %2").arg(rel, text(ec));
        return false;
    }
    m_journal.push_back({Step::BackedUp, target, kept, rel});
    return true;
}

} // namespace freshgate
