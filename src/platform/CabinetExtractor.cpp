#include "platform/CabinetExtractor.h"

#include "platform/CrashPoint.h"
#include "platform/DurableFiles.h"
#include "platform/MoveTransaction.h"
#include "platform/MspackFiles.h"
#include "protocol/MemberName.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QSet>
#include <QStringDecoder>
#include <exception>
#include <filesystem>
#include <mspack.h>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace freshgate {
namespace {

Q_LOGGING_CATEGORY(lcCabinet, "freshgate.cabinet", QtWarningMsg)

namespace fs = std::filesystem;

constexpr QLatin1String kStagingName(kStagingFolder);
constexpr QLatin1String kBackupName(kBackupFolder);
constexpr QLatin1String kJournalName(kJournalFile);
constexpr QLatin1String kKeptName(kKeptFolder);

// Names come from the cabinet; keep the log line one line whatever they hold.
QString printable(QString name)
{
    for (QChar &c : name) {
        if (c.unicode() < 0x20) {
            c = u'?';
        }
    }
    return name;
}

QString mspackError(int code)
{
    switch (code) {
    case MSPACK_ERR_OPEN:
        return QStringLiteral("cannot open a file");
    case MSPACK_ERR_READ:
        return QStringLiteral("read error");
    case MSPACK_ERR_WRITE:
        return QStringLiteral("write error");
    case MSPACK_ERR_SEEK:
        return QStringLiteral("seek error");
    case MSPACK_ERR_NOMEMORY:
        return QStringLiteral("out of memory");
    case MSPACK_ERR_SIGNATURE:
        return QStringLiteral("not a cabinet");
    case MSPACK_ERR_DATAFORMAT:
        return QStringLiteral("damaged cabinet");
    case MSPACK_ERR_CHECKSUM:
        return QStringLiteral("checksum mismatch");
    case MSPACK_ERR_DECRUNCH:
        return QStringLiteral("damaged compressed data");
    default:
        return QStringLiteral("libmspack error %1").arg(code);
    }
}

// Cabinets name members in Latin-1 unless the member says UTF-8.
std::optional<QString> decodeName(const mscabd_file *file)
{
    const QByteArray raw(file->filename);
    if (!(file->attribs & MSCAB_ATTRIB_UTF_NAME)) {
        return QString::fromLatin1(raw);
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString name = decoder.decode(raw);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return name;
}

void makeExecutable(const fs::path &file)
{
    std::error_code ec;
    const fs::perms now = fs::status(file, ec).permissions();
    if (ec) {
        return;
    }
    const auto has = [now](fs::perms p) { return (now & p) != fs::perms::none; };
    fs::perms add = fs::perms::none;
    if (has(fs::perms::owner_read)) {
        add |= fs::perms::owner_exec;
    }
    if (has(fs::perms::group_read)) {
        add |= fs::perms::group_exec;
    }
    if (has(fs::perms::others_read)) {
        add |= fs::perms::others_exec;
    }
    fs::permissions(file, add, fs::perm_options::add, ec);
    // File systems without permissions refuse; the file works there all the same.
    if (ec) {
        qCInfo(lcCabinet).noquote() << "cannot mark" << fromPath(file) << "executable:" << text(ec);
    }
}

struct CabinetHandle {
    // Files go through Qt, not fopen(), so any folder name works on every platform; names
    // given to the decompressor are therefore mspackFileName()s.
    mscab_decompressor *decompressor =
        qtFileSystem() ? mspack_create_cab_decompressor(qtFileSystem()) : nullptr;
    mscabd_cabinet *cabinet = nullptr;

    CabinetHandle() = default;
    ~CabinetHandle()
    {
        close();
        if (decompressor) {
            mspack_destroy_cab_decompressor(decompressor);
        }
    }
    void close()
    {
        if (cabinet) {
            decompressor->close(decompressor, cabinet);
        }
        cabinet = nullptr;
    }
    Q_DISABLE_COPY_MOVE(CabinetHandle)
};

struct FolderRemover {
    fs::path folder;
    ~FolderRemover()
    {
        std::error_code ec;
        fs::remove_all(folder, ec);
        if (ec) {
            qCWarning(lcCabinet).noquote()
                << "cannot remove" << fromPath(folder) << ":" << text(ec);
        }
    }
};

// Folders a crashed run left behind hold nothing worth keeping.
bool removeLeftover(const fs::path &folder, QString *error)
{
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(folder, ec))) {
        return true;
    }
    qCWarning(lcCabinet).noquote()
        << "removing" << fromPath(folder) << "left by an interrupted run";
    fs::remove_all(folder, ec);
    if (ec) {
        *error = QStringLiteral("cannot remove \"%1\": %2").arg(fromPath(folder), text(ec));
    }
    return !ec;
}

} // namespace

CabinetExtractor::CabinetExtractor(QString workFolder) : m_workFolder(std::move(workFolder)) {}

void CabinetExtractor::setCabinetFile(const QString &path)
{
    m_cabinetFile = path;
}

QString CabinetExtractor::cabinetFile() const
{
    return m_cabinetFile;
}

QString CabinetExtractor::workFolder() const
{
    return m_workFolder;
}

Result<Extracted> CabinetExtractor::extract(const QString &destination,
                                            const QStringList &alsoRemove, const InstallNote &note)
{
    QElapsedTimer timer;
    timer.start();
    Result<Extracted> result = failure(FailureKind::Disk, {});
    try {
        result = run(destination, alsoRemove, note);
    } catch (const std::exception &e) {
        result =
            failure(FailureKind::Disk,
                    QStringLiteral("unexpected failure: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    if (result) {
        qCInfo(lcCabinet).noquote()
            << QStringLiteral("extracted %1 members of \"%2\" into \"%3\" in %4 ms")
                   .arg(result->members)
                   .arg(m_cabinetFile, destination)
                   .arg(timer.elapsed());
    } else {
        qCWarning(lcCabinet).noquote() << QStringLiteral("cannot extract \"%1\" into \"%2\": %3")
                                              .arg(m_cabinetFile, destination, result.message());
    }
    return result;
}

Result<Extracted> CabinetExtractor::run(const QString &destination, const QStringList &alsoRemove,
                                        const InstallNote &note)
{
    // The cabinet's own faults; the file system's go through failDisk.
    const auto fail = [](const QString &why) { return failure(FailureKind::Archive, why); };
    const auto failDisk = [](const QString &why) { return failure(FailureKind::Disk, why); };
    if (m_cabinetFile.isEmpty()) {
        return failDisk(QStringLiteral("no cabinet file is set"));
    }
    if (destination.isEmpty() || m_workFolder.isEmpty()) {
        return failDisk(QStringLiteral("no destination or work folder"));
    }

    const QString workAbs = QDir::cleanPath(QFileInfo(m_workFolder).absoluteFilePath());
    const QString stagingAbs = workAbs + u'/' + kStagingName;
    const QString backupAbs = workAbs + u'/' + kBackupName;
    const QString journalAbs = workAbs + u'/' + kJournalName;
    const QString destAbs = QDir::cleanPath(QFileInfo(destination).absoluteFilePath());
    const auto ours = [&](const QString &path) {
        return isInside(path, stagingAbs) || isInside(path, backupAbs) ||
               isInside(path, journalAbs) || isInside(path, journalAbs + QLatin1String(".tmp")) ||
               isInside(path, workAbs + u'/' + kKeptName);
    };
    if (ours(destAbs)) {
        return failDisk(QStringLiteral("the destination lies in the extractor's own folders"));
    }

    const QFileInfo info(m_cabinetFile);
    if (!info.exists()) {
        return failDisk(QStringLiteral("the cabinet file does not exist"));
    }
    if (!info.isFile()) {
        return failDisk(QStringLiteral("the cabinet is not a file"));
    }

    CabinetHandle cab;
    if (!cab.decompressor) {
        return fail(QStringLiteral("libmspack cannot start"));
    }
    const QByteArray cabPath = mspackFileName(info.absoluteFilePath());
    cab.cabinet = cab.decompressor->open(cab.decompressor, cabPath.constData());
    if (!cab.cabinet) {
        const int err = cab.decompressor->last_error(cab.decompressor);
        // A file too short for a cabinet header fails as a read error.
        if (err == MSPACK_ERR_SIGNATURE || err == MSPACK_ERR_READ) {
            return fail(QStringLiteral("not a cabinet, or cut short (%1)").arg(mspackError(err)));
        }
        return fail(mspackError(err));
    }
    if (cab.cabinet->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) {
        return fail(QStringLiteral("the cabinet is part of a spanned set"));
    }
    // libmspack opens a cut cabinet and fails only on the members past the cut.
    if (static_cast<qint64>(cab.cabinet->length) != info.size()) {
        return fail(QStringLiteral("the cabinet states %1 bytes but the file holds %2")
                        .arg(cab.cabinet->length)
                        .arg(info.size()));
    }

    // Every name is judged before anything is written.
    struct Member {
        mscabd_file *file;
        QString rel;
    };
    std::vector<Member> members;
    bool requiredFound = m_requiredMember.isEmpty();
    for (mscabd_file *file = cab.cabinet->files; file; file = file->next) {
        const std::optional<QString> name = decodeName(file);
        if (!name) {
            return fail(QStringLiteral("member \"%1\": name is not valid UTF-8")
                            .arg(printable(QString::fromLatin1(file->filename))));
        }
        const Result<QString> rel = safeMemberPath(*name);
        if (!rel) {
            return fail(
                QStringLiteral("member \"%1\" refused: %2").arg(printable(*name), rel.message()));
        }
        if (ours(destAbs + u'/' + *rel)) {
            return fail(QStringLiteral("member \"%1\" would land in the extractor's own folders")
                            .arg(printable(*name)));
        }
        if (!m_requiredMember.isEmpty() &&
            rel->compare(m_requiredMember, Qt::CaseInsensitive) == 0) {
            members.push_back({file, m_requiredMember});
            requiredFound = true;
            continue;
        }
        members.push_back({file, *rel});
    }
    if (!requiredFound) {
        return fail(QStringLiteral("the cabinet holds no %1").arg(m_requiredMember));
    }
    QStringList removals;
    for (const QString &name : alsoRemove) {
        const Result<QString> rel = safeMemberPath(name);
        if (!rel) {
            return fail(
                QStringLiteral("cannot remove \"%1\": %2").arg(printable(name), rel.message()));
        }
        if (ours(destAbs + u'/' + *rel)) {
            return fail(QStringLiteral("cannot remove \"%1\": it lies in the extractor's own "
                                       "folders")
                            .arg(printable(name)));
        }
        removals.append(*rel);
    }
    removals.removeDuplicates();

    const fs::path staging = toPath(stagingAbs);
    const fs::path backup = toPath(backupAbs);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(toPath(journalAbs), ec))) {
        return failDisk(QStringLiteral("the journal of an interrupted installation (\"%1\") waits "
                                       "for the next start")
                            .arg(journalAbs));
    }
    // Without a journal nothing in them is needed any more.
    QString error;
    if (!removeLeftover(staging, &error) || !removeLeftover(backup, &error)) {
        return failDisk(error);
    }
    fs::create_directories(staging, ec);
    if (ec) {
        return failDisk(QStringLiteral("cannot create the staging folder: %1").arg(text(ec)));
    }
    const FolderRemover stagingRemover{staging};

    // Staged files are numbered, not named: the real names only ever meet the destination.
    std::vector<fs::path> staged;
    staged.reserve(members.size());
    for (const Member &member : members) {
        const mscabd_file *file = member.file;
        staged.push_back(staging / std::to_string(staged.size()));
        const QByteArray out = mspackFileName(fromPath(staged.back()));
        const int err = cab.decompressor->extract(cab.decompressor, member.file, out.constData());
        if (err != MSPACK_ERR_OK) {
            return fail(QStringLiteral("member \"%1\": %2").arg(member.rel, mspackError(err)));
        }
        const std::uintmax_t size = fs::file_size(staged.back(), ec);
        if (ec || size != file->length) {
            return fail(QStringLiteral("member \"%1\": %2 of %3 bytes came out")
                            .arg(member.rel)
                            .arg(ec ? 0 : size)
                            .arg(file->length));
        }
        if (file->attribs & MSCAB_ATTRIB_EXEC) {
            makeExecutable(staged.back());
        }
    }
    cab.close();
    // A file renamed into place must hold its bytes on disk before the rename does.
    ec = syncAll(staged, SyncKind::Files);
    if (ec) {
        return failDisk(QStringLiteral("cannot flush the staged members: %1").arg(text(ec)));
    }

    std::vector<MoveTransaction::Move> moves;
    moves.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        moves.push_back({fromPath(staged[i].filename()), members[i].rel});
    }
    MoveTransaction transaction(toPath(workAbs), toPath(destAbs));
    if (!transaction.plan(moves, removals, &error) || !transaction.begin(note.note, &error)) {
        return failDisk(error);
    }
    if (!transaction.apply(&error) || !transaction.commit(&error)) {
        QString problems;
        if (!transaction.rollback(&problems)) {
            return failDisk(QStringLiteral("%1; could not undo %2, old files are kept in \"%3\"")
                                .arg(error, problems, backupAbs));
        }
        return failDisk(error);
    }
    Extracted result;
    result.members = static_cast<int>(members.size());
    result.recorded = note.note.isEmpty() || (note.record && note.record(note.note));
    if (!result.recorded) {
        qCWarning(lcCabinet).noquote()
            << "the files are in place but could not be recorded; the journal waits for the "
               "next start";
        return result;
    }
    if (!transaction.retire(&error)) {
        qCWarning(lcCabinet).noquote() << error;
    }
    return result;
}

Recovery recoverInterruptedInstall(const QString &workFolder,
                                   const std::function<bool(const QString &note)> &record)
{
    QString detail;
    const Recovery recovery = MoveTransaction::recover(toPath(workFolder), record, &detail);
    if (recovery != Recovery::Nothing) {
        qCWarning(lcCabinet).noquote() << detail;
    }
    return recovery;
}

} // namespace freshgate
