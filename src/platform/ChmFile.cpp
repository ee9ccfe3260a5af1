#include "platform/ChmFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <chm_lib.h>
#include <memory>
#include <string>

namespace freshgate {

namespace {

struct ChmCloser {
    void operator()(chmFile *h) const { chm_close(h); }
};
using ChmHandle = std::unique_ptr<chmFile, ChmCloser>;

// A help file that cannot give the page is, to the user, a file that is not there or broken.
Failure fail(const QString &reason)
{
    return failure(FailureKind::Disk, reason);
}

} // namespace

QByteArray ChmFile::objectPath(const QString &pageName)
{
    QString path = pageName.trimmed();
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    // A topic may carry an anchor or a query; the archive only knows the page itself.
    for (qsizetype i = 0; i < path.size(); ++i) {
        if (path.at(i) == QLatin1Char('#') || path.at(i) == QLatin1Char('?')) {
            path.truncate(i);
            break;
        }
    }
    if (!path.startsWith(QLatin1Char('/'))) {
        path.prepend(QLatin1Char('/'));
    }
    if (path.endsWith(QLatin1Char('/')) || path.contains(QChar(0))) {
        return {};
    }
    return path.toUtf8();
}

Result<QByteArray> ChmFile::readObject(const QString &chmPath, const QString &pageName)
{
    if (chmPath.isEmpty()) {
        return fail(QStringLiteral("no help file is set"));
    }
    if (!QFileInfo(chmPath).isFile()) {
        return fail(QStringLiteral("help file %1 does not exist").arg(chmPath));
    }
    const QByteArray object = objectPath(pageName);
    if (object.isEmpty()) {
        return fail(QStringLiteral("no page named \"%1\"").arg(pageName));
    }
    if (object.size() > CHM_MAX_PATHLEN) {
        return fail(QStringLiteral("page name \"%1\" is too long").arg(pageName));
    }

#ifdef Q_OS_WIN
    // chmlib is built for wide file names here (PPC_BSTR): a narrow name would reach only
    // folders whose names the ANSI code page can spell.
    std::wstring wide = QDir::toNativeSeparators(chmPath).toStdWString();
    const ChmHandle handle(chm_open(wide.data()));
#else
    const ChmHandle handle(chm_open(QFile::encodeName(chmPath).constData()));
#endif
    if (!handle) {
        return fail(QStringLiteral("%1 is not a readable help file").arg(chmPath));
    }

    chmUnitInfo unit{};
    if (chm_resolve_object(handle.get(), object.constData(), &unit) != CHM_RESOLVE_SUCCESS) {
        return fail(QStringLiteral("%1 holds no page %2").arg(chmPath, QString::fromUtf8(object)));
    }
    if (unit.length > static_cast<LONGUINT64>(kMaxObjectSize)) {
        return fail(QStringLiteral("page %1 claims %2 bytes, more than the %3 allowed")
                        .arg(QString::fromUtf8(object))
                        .arg(unit.length)
                        .arg(kMaxObjectSize));
    }

    const auto length = static_cast<LONGINT64>(unit.length);
    QByteArray data(static_cast<qsizetype>(length), Qt::Uninitialized);
    auto *buffer = reinterpret_cast<unsigned char *>(data.data());
    LONGINT64 done = 0;
    while (done < length) {
        const LONGINT64 got = chm_retrieve_object(handle.get(), &unit, buffer + done,
                                                  static_cast<LONGUINT64>(done), length - done);
        if (got <= 0) {
            break;
        }
        done += got;
    }
    if (done != length) {
        return fail(QStringLiteral("page %1 is damaged: read %2 of %3 bytes")
                        .arg(QString::fromUtf8(object))
                        .arg(done)
                        .arg(length));
    }
    return data;
}

} // namespace freshgate
