#include "support/CabBuilder.h"

#include "support/Files.h"
#include "support/Process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtDebug>

// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libgcab.h>
#pragma pop_macro("signals")

#include <memory>

namespace freshgate::test {
namespace {

// Cabinet header fields (little endian), with no reserved area, as gcab writes them.
constexpr qsizetype kHeaderSize = 36;
constexpr qsizetype kOffCabinetSize = 8;
constexpr qsizetype kOffFilesStart = 16;
constexpr qsizetype kOffFolderCount = 26;
constexpr qsizetype kOffFileCount = 28;
constexpr qsizetype kOffFlags = 30;
constexpr qsizetype kFolderEntrySize = 8;
constexpr qsizetype kFileEntryFixedSize = 16;
constexpr qsizetype kOffFileAttributes = 14;
constexpr quint16 kFlagReserve = 0x0004;
constexpr quint16 kFlagNextCabinet = 0x0002;

bool setError(QString *error, const QString &text)
{
    if (error) {
        *error = text;
    }
    return false;
}

template <typename T> struct GUnref {
    void operator()(T *object) const { g_object_unref(object); }
};
template <typename T> using GPtr = std::unique_ptr<T, GUnref<T>>;

struct GErrorHolder {
    GError *error = nullptr;
    ~GErrorHolder()
    {
        if (error) {
            g_error_free(error);
        }
    }
    QString text() const
    {
        return error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error");
    }
};

template <typename T> T readLE(const QByteArray &bytes, qsizetype at)
{
    T value = 0;
    for (qsizetype i = static_cast<qsizetype>(sizeof(T)) - 1; i >= 0; --i) {
        value = static_cast<T>(value << 8 | static_cast<uchar>(bytes.at(at + i)));
    }
    return value;
}
template <typename T> void writeLE(QByteArray &bytes, qsizetype at, T value)
{
    for (qsizetype i = 0; i < static_cast<qsizetype>(sizeof(T)); ++i) {
        bytes[at + i] = static_cast<char>(static_cast<uchar>(value >> (8 * i)));
    }
}

// libgcab decides the UTF-8 flag by itself; tests need to choose it.
bool setAttributes(const QString &cabinet, const QList<CabMember> &members, QString *error)
{
    QByteArray bytes = readFile(cabinet);
    if (bytes.isEmpty()) {
        return setError(error, QStringLiteral("cannot read %1").arg(cabinet));
    }
    if (bytes.size() < kHeaderSize || (readLE<quint16>(bytes, kOffFlags) & kFlagReserve)) {
        return setError(error, QStringLiteral("unexpected cabinet layout"));
    }
    if (readLE<quint16>(bytes, kOffFileCount) != members.size()) {
        return setError(error, QStringLiteral("member count differs"));
    }
    qsizetype at = readLE<quint32>(bytes, kOffFilesStart);
    for (const CabMember &member : members) {
        const qsizetype nameAt = at + kFileEntryFixedSize;
        const qsizetype end = bytes.indexOf('\0', nameAt);
        QByteArray expected = member.name;
        expected.replace('/', '\\');
        if (end < 0 || bytes.mid(nameAt, end - nameAt) != expected) {
            return setError(error, QStringLiteral("members are not stored as given"));
        }
        writeLE<quint16>(bytes, at + kOffFileAttributes, member.attributes);
        at = end + 1;
    }
    if (!writeFile(cabinet, bytes)) {
        return setError(error, QStringLiteral("cannot write %1").arg(cabinet));
    }
    return true;
}

} // namespace

bool makeCabinetWithGcab(const QString &folder, const QString &cabinet, CabCompression compression,
                         QString *error)
{
    QStringList arguments{QStringLiteral("-c")};
    if (compression == CabCompression::MsZip) {
        arguments << QStringLiteral("-z");
    }
    arguments << QFileInfo(cabinet).absoluteFilePath();
    // gcab walks folders itself and names members relative to its working folder.
    const QStringList entries =
        QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    if (entries.isEmpty()) {
        return setError(error, QStringLiteral("nothing to pack in %1").arg(folder));
    }
    arguments << entries;

    const ProcessRun gcab = runProcess(QStringLiteral("gcab"), arguments,
                                       ProcessOptions().withFolder(folder).withTimeout(300000));
    return gcab.succeeded() || setError(error, gcab.failure());
}

bool writeCabinet(const QString &cabinet, const QList<CabMember> &members,
                  CabCompression compression, QString *error)
{
    GErrorHolder gerror;
    GPtr<GCabCabinet> cab(gcab_cabinet_new());
    GPtr<GCabFolder> folder(gcab_folder_new(
        compression == CabCompression::MsZip ? GCAB_COMPRESSION_MSZIP : GCAB_COMPRESSION_NONE));
    GDateTime *when = g_date_time_new_utc(2020, 6, 1, 12, 0, 0);
    for (const CabMember &member : members) {
        GBytes *bytes =
            g_bytes_new(member.data.constData(), static_cast<gsize>(member.data.size()));
        GPtr<GCabFile> file(gcab_file_new_with_bytes(member.name.constData(), bytes));
        g_bytes_unref(bytes);
        gcab_file_set_date_time(file.get(), when);
        if (!gcab_folder_add_file(folder.get(), file.get(), FALSE, nullptr, &gerror.error)) {
            g_date_time_unref(when);
            return setError(error, gerror.text());
        }
    }
    g_date_time_unref(when);
    if (!gcab_cabinet_add_folder(cab.get(), folder.get(), &gerror.error)) {
        return setError(error, gerror.text());
    }

    GPtr<GFile> out(g_file_new_for_path(QFile::encodeName(cabinet).constData()));
    GPtr<GFileOutputStream> stream(
        g_file_replace(out.get(), nullptr, FALSE, G_FILE_CREATE_NONE, nullptr, &gerror.error));
    if (!stream) {
        return setError(error, gerror.text());
    }
    const bool written =
        gcab_cabinet_write_simple(cab.get(), G_OUTPUT_STREAM(stream.get()), nullptr, nullptr,
                                  nullptr, &gerror.error) &&
        g_output_stream_close(G_OUTPUT_STREAM(stream.get()), nullptr, &gerror.error);
    if (!written) {
        return setError(error, gerror.text());
    }
    return setAttributes(cabinet, members, error);
}

bool markSpanned(const QString &cabinet, QString *error)
{
    QByteArray bytes = readFile(cabinet);
    if (bytes.isEmpty()) {
        return setError(error, QStringLiteral("cannot read %1").arg(cabinet));
    }
    if (bytes.size() < kHeaderSize || (readLE<quint16>(bytes, kOffFlags) & kFlagReserve)) {
        return setError(error, QStringLiteral("unexpected cabinet layout"));
    }
    // The successor's cabinet and disk names follow the fixed header; everything after them
    // moves down, so every offset that points past them grows by their length.
    const QByteArray names = QByteArrayLiteral("next.cab\0disk 2\0");
    const quint32 shift = static_cast<quint32>(names.size());
    writeLE<quint16>(bytes, kOffFlags, readLE<quint16>(bytes, kOffFlags) | kFlagNextCabinet);
    writeLE<quint32>(bytes, kOffCabinetSize, readLE<quint32>(bytes, kOffCabinetSize) + shift);
    writeLE<quint32>(bytes, kOffFilesStart, readLE<quint32>(bytes, kOffFilesStart) + shift);
    const quint16 folders = readLE<quint16>(bytes, kOffFolderCount);
    for (quint16 i = 0; i < folders; ++i) {
        const qsizetype at = kHeaderSize + i * kFolderEntrySize;
        writeLE<quint32>(bytes, at, readLE<quint32>(bytes, at) + shift);
    }
    bytes.insert(kHeaderSize, names);
    if (!writeFile(cabinet, bytes)) {
        return setError(error, QStringLiteral("cannot write %1").arg(cabinet));
    }
    return true;
}

bool truncateFile(const QString &path, qint64 size)
{
    return QFile::resize(path, size);
}

bool corruptBytes(const QString &path, int count, qint64 offset)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        return false;
    }
    if (offset < 0) {
        offset = file.size() / 2;
    }
    if (offset + count > file.size() || !file.seek(offset)) {
        return false;
    }
    QByteArray bytes = file.read(count);
    // Cabinet block checksums XOR 32-bit words, so one mask for every byte could cancel out
    // across words; a mask that changes from byte to byte cannot.
    for (int i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ ((i + 1) * 0x1f % 0xff + 1));
    }
    return file.seek(offset) && file.write(bytes) == count;
}

QByteArray gcabCabinetBytes(const QMap<QString, QByteArray> &files)
{
    QTemporaryDir source;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(source.filePath(it.key()), it.value())) {
            return {};
        }
    }
    const QString cabinet = source.filePath(QStringLiteral("out.cab.tmp"));
    QString error;
    if (!makeCabinetWithGcab(source.path(), cabinet, CabCompression::MsZip, &error)) {
        qWarning() << error;
        return {};
    }
    return readFile(cabinet);
}

QByteArray cabinetBytes(const QList<CabMember> &members)
{
    QTemporaryDir dir;
    const QString cabinet = dir.filePath(QStringLiteral("made.cab"));
    return writeCabinet(cabinet, members) ? readFile(cabinet) : QByteArray();
}

} // namespace freshgate::test
