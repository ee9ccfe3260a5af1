#include "platform/CabinetExtractor.h"

#include "base/DurableFile.h"
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

struct CabinetHandle {
    // Files go through Qt and plain system calls, not fopen(), so any folder name works on
    // every platform; names given to the decompressor are therefore mspackFileName()s.
    mscab_decompressor *decompressor = nullptr;
    mscabd_cabinet *cabinet = nullptr;
    // libmspack keeps this pointer and opens the file again by it while it extracts.
    QByteArray path;

    explicit CabinetHandle(mspack_system *system)
        : decompressor(system ? mspack_create_cab_decompressor(system) : nullptr)
    {
    }
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

// A member as the cabinet names it, and where it belongs.
struct Member {
    mscabd_file *file;
    QString rel;
};

Status open(CabinetHandle &cab, const QString &cabinetFile)
{
    const QFileInfo info(cabinetFile);
    if (!info.isFile()) {
        return fileFailure(FailureKind::Disk, cabinetFile,
                           QStringLiteral("cannot open the cabinet"),
                           info.exists() ? QStringLiteral("it is not a file")
                                         : QStringLiteral("it does not exist"));
    }
    if (!cab.decompressor) {
        return failure(FailureKind::Archive, QStringLiteral("libmspack cannot start"));
    }
    cab.path = mspackFileName(info.absoluteFilePath());
    cab.cabinet = cab.decompressor->open(cab.decompressor, cab.path.constData());
    if (!cab.cabinet) {
        const int err = cab.decompressor->last_error(cab.decompressor);
        // A file too short for a cabinet header fails as a read error.
        if (err == MSPACK_ERR_SIGNATURE || err == MSPACK_ERR_READ) {
            return failure(
                FailureKind::Archive,
                QStringLiteral("not a cabinet, or cut short (%1)").arg(mspackError(err)));
        }
        return failure(FailureKind::Archive, mspackError(err));
    }
    if (cab.cabinet->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) {
        return failure(FailureKind::Archive,
                       QStringLiteral("the cabinet is part of a spanned set"));
    }
    // libmspack opens a cut cabinet and fails only on the members past the cut.
    if (static_cast<qint64>(cab.cabinet->length) != info.size()) {
        return failure(FailureKind::Archive,
                       QStringLiteral("the cabinet states %1 bytes but the file holds %2")
                           .arg(cab.cabinet->length)
                           .arg(info.size()));
    }
    return {};
}

// Every name is judged before anything is written.
Result<std::vector<Member>> members(const CabinetHandle &cab, const QString &required)
{
    std::vector<Member> found;
    bool requiredFound = required.isEmpty();
    for (mscabd_file *file = cab.cabinet->files; file; file = file->next) {
        const std::optional<QString> name = decodeName(file);
        if (!name) {
            return failure(FailureKind::Archive,
                           QStringLiteral("member \"%1\": name is not valid UTF-8")
                               .arg(printable(QString::fromLatin1(file->filename))));
        }
        const Result<QString> rel = safeMemberPath(*name);
        if (!rel) {
            return rel.failure().within(
                QStringLiteral("member \"%1\" refused").arg(printable(*name)));
        }
        if (!required.isEmpty() && rel->compare(required, Qt::CaseInsensitive) == 0) {
            found.push_back({file, required});
            requiredFound = true;
            continue;
        }
        found.push_back({file, *rel});
    }
    if (!requiredFound) {
        return failure(FailureKind::Archive,
                       QStringLiteral("the cabinet holds no %1").arg(required));
    }
    return found;
}

// Whether every member can be staged under its own name: no two names meet in the staging
// folder as Windows compares names (the same name twice, or a file where another member's
// folder is). Then a folder new to the destination can move in whole.
bool ownNamesFit(const std::vector<Member> &all)
{
    QSet<QString> files;
    QSet<QString> folders;
    QString lastFolder;
    for (const Member &member : all) {
        const QString key = member.rel.toCaseFolded();
        if (files.contains(key)) {
            return false;
        }
        files.insert(key);
        // Members of one folder mostly follow each other; its folders are known then.
        const qsizetype last = key.lastIndexOf(u'/');
        if (last < 0 || QStringView(key).left(last) == lastFolder) {
            continue;
        }
        lastFolder = key.left(last);
        for (qsizetype slash = key.indexOf(u'/'); slash >= 0;
             slash = key.indexOf(u'/', slash + 1)) {
            folders.insert(key.left(slash));
        }
    }
    return !files.intersects(folders);
}

// Makes the staging folder's sub-folders a member needs, each once.
Status makeFolderFor(const fs::path &staging, const QString &name, QSet<QString> &made)
{
    const qsizetype slash = name.lastIndexOf(u'/');
    if (slash < 0 || made.contains(name.left(slash))) {
        return {};
    }
    std::error_code ec;
    fs::create_directories(staging / toPath(name.left(slash)), ec);
    if (ec) {
        return fileFailure(ec, fromPath(staging), QStringLiteral("cannot make the staging folder"));
    }
    made.insert(name.left(slash));
    return {};
}

Failure writeFailure(const std::error_code &ec, const fs::path &file)
{
    return fileFailure(ec, fromPath(file.parent_path()),
                       QStringLiteral("cannot write \"%1\"").arg(fromPath(file.filename())));
}

Status extractMember(CabinetHandle &cab, StagingFiles &files, const Member &member,
                     const QString &path)
{
    files.expect(member.file->length, member.file->attribs & MSCAB_ATTRIB_EXEC);
    const QByteArray out = mspackFileName(path);
    const int err = cab.decompressor->extract(cab.decompressor, member.file, out.constData());
    if (files.failure()) {
        return writeFailure(files.failure(), files.failedFile());
    }
    if (err != MSPACK_ERR_OK) {
        // A write that failed is the disk's fault; anything else the cabinet's.
        if (err == MSPACK_ERR_WRITE || err == MSPACK_ERR_OPEN) {
            return fileFailure(FailureKind::Disk, QFileInfo(path).absolutePath(),
                               QStringLiteral("member \"%1\"").arg(member.rel), mspackError(err));
        }
        return failure(FailureKind::Archive,
                       QStringLiteral("member \"%1\": %2").arg(member.rel, mspackError(err)));
    }
    if (files.lastWritten() != member.file->length) {
        return failure(FailureKind::Archive,
                       QStringLiteral("member \"%1\": %2 of %3 bytes came out")
                           .arg(member.rel)
                           .arg(files.lastWritten())
                           .arg(member.file->length));
    }
    return {};
}

// Staged under their own names where they fit, else numbered; either way the real names meet
// the destination only through the install's journaled moves. The files are made on the
// writer's thread while the next members are decoded; all are on disk (not flushed) when this
// returns.
Result<std::vector<StagedMember>> extractMembers(CabinetHandle &cab, StagingFiles &files,
                                                 StagedWriter &writer,
                                                 const std::vector<Member> &all,
                                                 const QString &stagingFolder)
{
    std::vector<StagedMember> staged;
    staged.reserve(all.size());
    const fs::path folder = toPath(QDir(stagingFolder).absolutePath());
    const QString prefix = QDir(stagingFolder).filePath(QStringLiteral("x")).chopped(1);
    const bool ownNames = ownNamesFit(all);
    QSet<QString> made;
    for (const Member &member : all) {
        const QString name = ownNames ? member.rel : QString::number(staged.size());
        if (const Status ready = makeFolderFor(folder, name, made); !ready) {
            return ready.failure();
        }
        if (const Status done = extractMember(cab, files, member, prefix + name); !done) {
            return done.failure();
        }
        if (const std::error_code ec = writer.failure()) {
            return writeFailure(ec, writer.failedFile());
        }
        staged.push_back({name, member.rel});
    }
    if (const std::error_code ec = writer.finish()) {
        return writeFailure(ec, writer.failedFile());
    }
    return staged;
}

Result<std::vector<StagedMember>> stage(const QString &cabinetFile, const QString &required,
                                        const QString &stagingFolder)
{
    if (cabinetFile.isEmpty() || stagingFolder.isEmpty()) {
        return failure(FailureKind::Usage, QStringLiteral("no cabinet file or staging folder"));
    }
    // Made before the cabinet, so its files are closed before the writer stops.
    StagedWriter writer;
    StagingFiles files(writer);
    CabinetHandle cab(files.system());
    if (const Status opened = open(cab, cabinetFile); !opened) {
        return opened.failure();
    }
    const Result<std::vector<Member>> all = members(cab, required);
    if (!all) {
        return all.failure();
    }
    std::error_code ec;
    fs::create_directories(toPath(QDir(stagingFolder).absolutePath()), ec);
    if (ec) {
        return fileFailure(ec, stagingFolder, QStringLiteral("cannot make the staging folder"));
    }
    return extractMembers(cab, files, writer, *all, stagingFolder);
}

} // namespace

Result<std::vector<StagedMember>> CabinetExtractor::extract(const QString &stagingFolder)
{
    QElapsedTimer timer;
    timer.start();
    Result<std::vector<StagedMember>> staged =
        stage(m_cabinetFile, m_requiredMember, stagingFolder);
    if (staged) {
        qCInfo(lcCabinet).noquote() << QStringLiteral("extracted %1 members of \"%2\" in %3 ms")
                                           .arg(staged->size())
                                           .arg(m_cabinetFile)
                                           .arg(timer.elapsed());
    } else {
        qCWarning(lcCabinet).noquote()
            << QStringLiteral("cannot extract \"%1\": %2").arg(m_cabinetFile, staged.message());
    }
    return staged;
}

} // namespace freshgate
