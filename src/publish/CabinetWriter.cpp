#include "publish/CabinetWriter.h"

#include <QFile>
#include <QFileInfo>

// GIO names a struct member "signals", which Qt defines as a keyword macro.
#undef signals
#include <libgcab.h>

namespace freshgate {

namespace {

struct GObjectUnref {
    void operator()(void *object) const { g_object_unref(object); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

bool fail(QString *error, const QString &text)
{
    if (error) {
        *error = text;
    }
    return false;
}

QString messageOf(const GError *error)
{
    return error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error");
}

bool isAscii(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() > 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace

struct CabinetWriter::Private {
    GObjectPtr<GCabFolder> folder{gcab_folder_new(GCAB_COMPRESSION_MSZIP)};
    int members = 0;
    qint64 bytes = 0;
    bool written = false;
};

CabinetWriter::CabinetWriter() : d(std::make_unique<Private>()) {}

CabinetWriter::~CabinetWriter() = default;

bool CabinetWriter::addFile(const QString &memberName, const QString &sourcePath,
                            Attributes attributes, QString *error)
{
    if (d->written) {
        return fail(error, QStringLiteral("the cabinet has already been written"));
    }
    if (memberName.isEmpty()) {
        return fail(error, QStringLiteral("a cabinet member needs a name"));
    }
    const QFileInfo source(sourcePath);
    if (!source.isFile()) {
        return fail(error, QStringLiteral("%1 is not a regular file").arg(sourcePath));
    }
    if (d->bytes + source.size() > kMaxContentBytes) {
        return fail(error, QStringLiteral("%1 would make the cabinet hold more than %2 bytes, the "
                                          "most one cabinet can carry")
                               .arg(sourcePath)
                               .arg(kMaxContentBytes));
    }

    const QByteArray name = memberName.toUtf8();
    GObjectPtr<GFile> gfile(g_file_new_for_path(QFile::encodeName(sourcePath).constData()));
    GObjectPtr<GCabFile> member(gcab_file_new_with_file(name.constData(), gfile.get()));
    GError *raw = nullptr;
    if (!gcab_folder_add_file(d->folder.get(), member.get(), FALSE, nullptr, &raw)) {
        const GErrorPtr gerror(raw);
        return fail(error, QStringLiteral("cannot add %1 as \"%2\": %3")
                               .arg(sourcePath, memberName, messageOf(gerror.get())));
    }

    // Adding reads the file's size and date and resets the attributes, so ours
    // go on afterwards.
    guint32 bits = attributes.toInt();
    if (!isAscii(memberName)) {
        bits |= GCAB_FILE_ATTRIBUTE_NAME_IS_UTF;
    }
    gcab_file_set_attributes(member.get(), bits);

    ++d->members;
    d->bytes += source.size();
    return true;
}

int CabinetWriter::memberCount() const
{
    return d->members;
}

qint64 CabinetWriter::contentBytes() const
{
    return d->bytes;
}

bool CabinetWriter::write(const QString &path, QString *error)
{
    if (d->written) {
        return fail(error, QStringLiteral("the cabinet has already been written"));
    }
    d->written = true;

    GObjectPtr<GFile> target(g_file_new_for_path(QFile::encodeName(path).constData()));
    GError *raw = nullptr;
    GObjectPtr<GFileOutputStream> stream(
        g_file_create(target.get(), G_FILE_CREATE_NONE, nullptr, &raw));
    if (!stream) {
        const GErrorPtr gerror(raw);
        return fail(error,
                    QStringLiteral("cannot create %1: %2").arg(path, messageOf(gerror.get())));
    }

    GObjectPtr<GCabCabinet> cabinet(gcab_cabinet_new());
    auto *out = reinterpret_cast<GOutputStream *>(stream.get());
    bool ok = gcab_cabinet_add_folder(cabinet.get(), d->folder.get(), &raw) &&
              gcab_cabinet_write_simple(cabinet.get(), out, nullptr, nullptr, nullptr, &raw);
    GError *closeRaw = nullptr;
    const bool closed = g_output_stream_close(out, nullptr, ok ? &closeRaw : nullptr);
    if (ok && !closed) {
        ok = false;
        raw = closeRaw;
    }
    if (!ok) {
        const GErrorPtr gerror(raw);
        stream.reset();
        QFile::remove(path);
        return fail(error,
                    QStringLiteral("cannot write %1: %2").arg(path, messageOf(gerror.get())));
    }
    return true;
}

} // namespace freshgate
