// CabinetWriter on Windows: the cabinets come from the system's own cabinet.dll (FCI, the
// compressor makecab uses), which every Windows has, so the Windows publisher needs neither
// libgcab nor GLib. FCI names files with narrow strings of at most 255 bytes; every file it
// opens goes through the callbacks below, which hand it tokens and open the real (UTF-16, any
// length) paths with QFile, so no file name ever passes through the ANSI code page.
#include "publish/CabinetWriter.h"
#include "publish/PublishFailure.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdio>
#include <fci.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <vector>
#include <windows.h>

namespace freshgate {

namespace {

// The longest member name, with its terminating zero, that FCI stores (CB_MAX_FILENAME).
constexpr int kMaxNameBytes = CB_MAX_FILENAME - 1;
// FCI keeps a whole cabinet and folder below these; everything goes into one folder.
constexpr ULONG kNoSplit = 0x7FFFFFFF;

struct Member {
    QByteArray name;
    QString source;
    quint32 attributes = 0;
};

// What the callbacks share: the token each file is known to FCI by, the files open now, and the
// first file error, which says more than FCI's own error codes.
struct Session {
    std::map<QByteArray, QString> paths;
    std::map<INT_PTR, std::unique_ptr<QFile>> open;
    QString temporaryFolder;
    int temporaryCount = 0;
    std::optional<Failure> firstError;

    QFile *file(INT_PTR handle)
    {
        const auto it = open.find(handle);
        return it == open.end() ? nullptr : it->second.get();
    }
    void noteError(const QFileDevice &file, const char *doing)
    {
        if (!firstError) {
            firstError = qtFileFailure(
                file, QLatin1String(doing).arg(QDir::toNativeSeparators(file.fileName())));
        }
    }
};

Session *sessionOf(void *pv)
{
    return static_cast<Session *>(pv);
}

QString pathOf(Session *session, const char *token)
{
    const auto it = session->paths.find(QByteArray(token));
    return it == session->paths.end() ? QString() : it->second;
}

QIODevice::OpenMode openModeOf(int flags)
{
    QIODevice::OpenMode mode;
    switch (flags & (_O_RDONLY | _O_WRONLY | _O_RDWR)) {
    case _O_WRONLY:
        mode = QIODevice::WriteOnly;
        break;
    case _O_RDWR:
        mode = QIODevice::ReadWrite;
        break;
    default:
        mode = QIODevice::ReadOnly;
        break;
    }
    if ((flags & _O_CREAT) != 0 && (flags & _O_EXCL) != 0) {
        mode |= QIODevice::NewOnly;
    } else if ((flags & _O_CREAT) == 0 && mode != QIODevice::ReadOnly) {
        mode |= QIODevice::ExistingOnly;
    }
    if ((flags & _O_TRUNC) != 0) {
        mode |= QIODevice::Truncate;
    }
    return mode;
}

INT_PTR openFile(Session *session, const QString &path, QIODevice::OpenMode mode, int *err)
{
    auto file = std::make_unique<QFile>(path);
    if (path.isEmpty() || !file->open(mode)) {
        session->noteError(*file, "cannot open %1");
        *err = ENOENT;
        return -1;
    }
    const auto handle = reinterpret_cast<INT_PTR>(file.get());
    session->open.emplace(handle, std::move(file));
    return handle;
}

void *DIAMONDAPI fciAlloc(ULONG bytes)
{
    return ::operator new(bytes, std::nothrow);
}

void DIAMONDAPI fciFree(void *memory)
{
    ::operator delete(memory);
}

INT_PTR DIAMONDAPI fciOpen(char *token, int flags, int, int *err, void *pv)
{
    Session *session = sessionOf(pv);
    return openFile(session, pathOf(session, token), openModeOf(flags), err);
}

UINT DIAMONDAPI fciRead(INT_PTR handle, void *buffer, UINT bytes, int *err, void *pv)
{
    QFile *file = sessionOf(pv)->file(handle);
    const qint64 got = file ? file->read(static_cast<char *>(buffer), bytes) : -1;
    if (got < 0) {
        if (file) {
            sessionOf(pv)->noteError(*file, "cannot read %1");
        }
        *err = EIO;
        return static_cast<UINT>(-1);
    }
    return static_cast<UINT>(got);
}

UINT DIAMONDAPI fciWrite(INT_PTR handle, void *buffer, UINT bytes, int *err, void *pv)
{
    QFile *file = sessionOf(pv)->file(handle);
    const qint64 put = file ? file->write(static_cast<const char *>(buffer), bytes) : -1;
    if (put != static_cast<qint64>(bytes)) {
        if (file) {
            sessionOf(pv)->noteError(*file, "cannot write %1");
        }
        *err = EIO;
        return static_cast<UINT>(-1);
    }
    return bytes;
}

int DIAMONDAPI fciClose(INT_PTR handle, int *err, void *pv)
{
    Session *session = sessionOf(pv);
    const auto it = session->open.find(handle);
    if (it == session->open.end()) {
        *err = EBADF;
        return -1;
    }
    // A write that only fails when the buffer goes to disk must still fail the cabinet.
    const bool flushed = !it->second->isWritable() || it->second->flush();
    if (!flushed) {
        session->noteError(*it->second, "cannot write %1");
    }
    session->open.erase(it);
    if (!flushed) {
        *err = EIO;
        return -1;
    }
    return 0;
}

LONG DIAMONDAPI fciSeek(INT_PTR handle, LONG distance, int origin, int *err, void *pv)
{
    QFile *file = sessionOf(pv)->file(handle);
    if (!file) {
        *err = EBADF;
        return -1;
    }
    qint64 base = 0;
    if (origin == SEEK_CUR) {
        base = file->pos();
    } else if (origin == SEEK_END) {
        base = file->size();
    }
    if (!file->seek(base + distance)) {
        *err = EINVAL;
        return -1;
    }
    return static_cast<LONG>(file->pos());
}

int DIAMONDAPI fciDelete(char *token, int *err, void *pv)
{
    Session *session = sessionOf(pv);
    if (!QFile::remove(pathOf(session, token))) {
        *err = ENOENT;
        return -1;
    }
    return 0;
}

BOOL DIAMONDAPI fciTemporaryName(char *name, int size, void *pv)
{
    Session *session = sessionOf(pv);
    const QByteArray token = ":temporary:" + QByteArray::number(session->temporaryCount++);
    if (token.size() >= size) {
        return FALSE;
    }
    session->paths[token] =
        session->temporaryFolder + QStringLiteral("/fci-%1.tmp").arg(session->temporaryCount);
    qstrcpy(name, token.constData());
    return TRUE;
}

int DIAMONDAPI fciFilePlaced(PCCAB, char *, LONG, BOOL, void *)
{
    return 0;
}

BOOL DIAMONDAPI fciNextCabinet(PCCAB, ULONG, void *)
{
    return TRUE;
}

LONG DIAMONDAPI fciStatus(UINT, ULONG, ULONG, void *)
{
    return 0;
}

// The member's date, time and attributes, as the cabinet records them, and its content.
INT_PTR DIAMONDAPI fciOpenInfo(char *token, USHORT *date, USHORT *time, USHORT *attributes,
                               int *err, void *pv)
{
    Session *session = sessionOf(pv);
    const QString path = pathOf(session, token);
    const QDateTime modified = QFileInfo(path).lastModified();
    const QDate day = modified.date();
    const QTime clock = modified.time();
    *date = static_cast<USHORT>(((qMax(day.year(), 1980) - 1980) << 9) | (day.month() << 5) |
                                day.day());
    *time =
        static_cast<USHORT>((clock.hour() << 11) | (clock.minute() << 5) | (clock.second() / 2));
    // The attributes were set when the member was added: its token carries their index.
    *attributes = static_cast<USHORT>(QByteArray(token).split(':').value(3).toUInt());
    return openFile(session, path, QIODevice::ReadOnly, err);
}

QString fciError(const ERF &erf)
{
    switch (static_cast<FCIERROR>(erf.erfOper)) {
    case FCIERR_OPEN_SRC:
        return QStringLiteral("a member's file cannot be opened");
    case FCIERR_READ_SRC:
        return QStringLiteral("a member's file cannot be read");
    case FCIERR_ALLOC_FAIL:
        return QStringLiteral("out of memory");
    case FCIERR_TEMP_FILE:
        return QStringLiteral("a temporary file cannot be written");
    case FCIERR_CAB_FILE:
        return QStringLiteral("the cabinet cannot be written");
    case FCIERR_MCI_FAIL:
        return QStringLiteral("the compressor failed");
    default:
        return QStringLiteral("cabinet.dll failed (error %1, %2)")
            .arg(erf.erfOper)
            .arg(erf.erfType);
    }
}

} // namespace

struct CabinetWriter::Private {
    std::vector<Member> members;
    qint64 bytes = 0;
    bool written = false;
};

CabinetWriter::CabinetWriter() : d(std::make_unique<Private>()) {}

CabinetWriter::~CabinetWriter() = default;

Status CabinetWriter::addFile(const QString &memberName, const QString &sourcePath,
                              Attributes attributes)
{
    if (Status checked = checkMember(d->written, memberName, sourcePath, d->bytes); !checked) {
        return checked;
    }
    const QFileInfo source(sourcePath);
    const QByteArray name = QString(memberName).replace(u'/', u'\\').toUtf8();
    if (name.size() > kMaxNameBytes) {
        return failure(FailureKind::Archive,
                       QStringLiteral("\"%1\" is longer than the %2 bytes a cabinet member's name "
                                      "may have")
                           .arg(memberName)
                           .arg(kMaxNameBytes));
    }
    for (const Member &member : d->members) {
        if (member.name == name) {
            return failure(FailureKind::Archive,
                           QStringLiteral("cannot add %1 as \"%2\": the cabinet already holds a "
                                          "member of that name")
                               .arg(QDir::toNativeSeparators(sourcePath), memberName));
        }
    }
    quint32 bits = attributes.toInt();
    if (!isAscii(memberName)) {
        bits |= _A_NAME_IS_UTF;
    }
    d->members.push_back({name, source.absoluteFilePath(), bits});
    d->bytes += source.size();
    return {};
}

int CabinetWriter::memberCount() const
{
    return static_cast<int>(d->members.size());
}

qint64 CabinetWriter::contentBytes() const
{
    return d->bytes;
}

Status CabinetWriter::write(const QString &path)
{
    if (d->written) {
        return failure(FailureKind::Usage, QStringLiteral("the cabinet has already been written"));
    }
    d->written = true;
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        return fileFailure(FailureKind::Disk, path,
                           QStringLiteral("cannot create %1").arg(QDir::toNativeSeparators(path)),
                           QStringLiteral("it already exists"));
    }
    // FCI keeps its working files (the compressed data, the member list) apart until the end.
    const QTemporaryDir temporary;
    if (!temporary.isValid()) {
        return fileFailure(FailureKind::Disk, path,
                           QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path)),
                           QStringLiteral("no temporary folder: %1").arg(temporary.errorString()));
    }
    Session session;
    session.temporaryFolder = temporary.path();
    const QByteArray cabinetToken = ":cabinet";
    session.paths[cabinetToken] = path;

    CCAB ccab{};
    ccab.cb = kNoSplit;
    ccab.cbFolderThresh = kNoSplit;
    qstrcpy(ccab.szCab, cabinetToken.constData());
    ERF erf{};
    const HFCI fci = FCICreate(&erf, fciFilePlaced, fciAlloc, fciFree, fciOpen, fciRead, fciWrite,
                               fciClose, fciSeek, fciDelete, fciTemporaryName, &ccab, &session);
    bool ok = fci != nullptr;
    for (size_t i = 0; ok && i < d->members.size(); ++i) {
        Member &member = d->members[i];
        QByteArray token = ":source:" + QByteArray::number(static_cast<qulonglong>(i)) + ':' +
                           QByteArray::number(member.attributes);
        session.paths[token] = member.source;
        const BOOL execute = (member.attributes & _A_EXEC) != 0 ? TRUE : FALSE;
        ok = FCIAddFile(fci, token.data(), member.name.data(), execute, fciNextCabinet, fciStatus,
                        fciOpenInfo, tcompTYPE_MSZIP) != FALSE;
    }
    ok = ok && FCIFlushCabinet(fci, FALSE, fciNextCabinet, fciStatus) != FALSE;
    if (fci != nullptr) {
        FCIDestroy(fci);
    }
    if (!ok) {
        session.open.clear();
        QFile::remove(path);
        const QString doing = QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path));
        if (session.firstError) {
            return session.firstError->within(doing);
        }
        return fileFailure(FailureKind::Archive, path, doing, fciError(erf));
    }
    return {};
}

} // namespace freshgate
