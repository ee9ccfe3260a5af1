#include "publish/CabinetWriter.h"

#include <QDir>
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

QString messageOf(const GError *error)
{
    return error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error");
}

// GLib's I/O errors are the system's, already sorted; libgcab's own are about the format.
FailureKind kindOf(const GError *error)
{
    if (error && error->domain == GCAB_ERROR) {
        return FailureKind::Archive;
    }
    if (!error || error->domain != G_IO_ERROR) {
        return FailureKind::Disk;
    }
    switch (error->code) {
    case G_IO_ERROR_NO_SPACE:
        return FailureKind::NoSpace;
    case G_IO_ERROR_READ_ONLY:
        return FailureKind::ReadOnly;
    case G_IO_ERROR_PERMISSION_DENIED:
        return FailureKind::Denied;
    default:
        return FailureKind::Disk;
    }
}

Failure gioFailure(const GError *error, const QString &path, const QString &doing)
{
    return fileFailure(kindOf(error), path, doing, messageOf(error));
}

// GLib takes file names as UTF-8 on Windows, whatever the ANSI code page, and as the file
// system's bytes elsewhere.
QByteArray glibFileName(const QString &path)
{
#ifdef Q_OS_WIN
    return QDir::toNativeSeparators(path).toUtf8();
#else
    return QFile::encodeName(path);
#endif
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

Status CabinetWriter::addFile(const QString &memberName, const QString &sourcePath,
                              Attributes attributes)
{
    if (Status checked = checkMember(d->written, memberName, sourcePath, d->bytes); !checked) {
        return checked;
    }
    const QFileInfo source(sourcePath);

    QString stored = memberName;
    stored.replace(QLatin1Char('/'), QLatin1Char('\\'));
    const QByteArray name = stored.toUtf8();
    GObjectPtr<GFile> gfile(g_file_new_for_path(glibFileName(sourcePath).constData()));
    GObjectPtr<GCabFile> member(gcab_file_new_with_file(name.constData(), gfile.get()));
    GError *raw = nullptr;
    if (!gcab_folder_add_file(d->folder.get(), member.get(), FALSE, nullptr, &raw)) {
        const GErrorPtr gerror(raw);
        return gioFailure(gerror.get(), sourcePath,
                          QStringLiteral("cannot add %1 as \"%2\"")
                              .arg(QDir::toNativeSeparators(sourcePath), stored));
    }

    // Adding reads the file's size and date and resets the attributes, so ours
    // go on afterwards.
    guint32 bits = attributes.toInt();
    if (!isAscii(stored)) {
        bits |= GCAB_FILE_ATTRIBUTE_NAME_IS_UTF;
    }
    gcab_file_set_attributes(member.get(), bits);

    ++d->members;
    d->bytes += source.size();
    return {};
}

int CabinetWriter::memberCount() const
{
    return d->members;
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

    const QString shown = QDir::toNativeSeparators(path);
    GObjectPtr<GFile> target(g_file_new_for_path(glibFileName(path).constData()));
    GError *raw = nullptr;
    GObjectPtr<GFileOutputStream> stream(
        g_file_create(target.get(), G_FILE_CREATE_NONE, nullptr, &raw));
    if (!stream) {
        const GErrorPtr gerror(raw);
        return gioFailure(gerror.get(), path, QStringLiteral("cannot create %1").arg(shown));
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
        return gioFailure(gerror.get(), path, QStringLiteral("cannot write %1").arg(shown));
    }
    return {};
}

} // namespace freshgate
