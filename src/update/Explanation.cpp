#include "update/Explanation.h"

#include <QDateTime>

namespace freshgate {
namespace {

constexpr char16_t kTellMaker[] = u" Tell the maker of Orvane4.";

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// "HTTP status 503 Service Unavailable" -> "503 Service Unavailable".
QString statusLine(const Failure &failure)
{
    const QString prefix = QStringLiteral("HTTP status ");
    QString line = failure.message.startsWith(prefix) ? failure.message.mid(prefix.size())
                                                      : QString::number(failure.httpStatus);
    const qsizetype comma = line.indexOf(QLatin1Char(','));
    return (comma < 0 ? line : line.left(comma)).trimmed();
}

QString capitalised(QString sentence)
{
    if (!sentence.isEmpty()) {
        sentence[0] = sentence[0].toUpper();
    }
    return sentence;
}

QString when(const QString &secondsSinceEpoch)
{
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch.toLongLong(), Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
}

// What a signature promised that the download did not keep.
QString refused(const Failure &failure, const QString &file)
{
    const QString tellMaker = QString::fromUtf16(kTellMaker);
    // A file's own refusal: why, then that nothing came of it.
    const auto download = [&file, &tellMaker](const QString &why) {
        return QStringLiteral("The download of %1 was refused").arg(file) + why +
               QStringLiteral(" Nothing was installed from it.") + tellMaker;
    };
    switch (failure.refusal) {
    case Refusal::Invalid:
        break;
    case Refusal::UnknownKey:
        return download(QStringLiteral(" because it is signed by a key this Freshgate does not "
                                       "trust (key %1).")
                            .arg(failure.signedValue));
    case Refusal::NoVersion:
        return download(QStringLiteral(" because its signature does not say which version it "
                                       "is, so it may belong to another release."));
    case Refusal::OtherVersion:
        return download(QStringLiteral(": signed for version %1, the update list offers %2.")
                            .arg(failure.signedValue, failure.expectedValue));
    case Refusal::OtherSize:
        return download(QStringLiteral(" because it is not the %1 bytes its signature names.")
                            .arg(failure.signedValue));
    case Refusal::Older:
        return QStringLiteral("The update list on the server was signed %1, before the one "
                              "Freshgate accepted here last (signed %2): an old update list "
                              "may be served to hold back updates. Nothing was installed.")
                   .arg(when(failure.signedValue), when(failure.expectedValue)) +
               tellMaker;
    case Refusal::NoTimestamp:
        return QStringLiteral("The update list on the server carries no signing time, so it "
                              "cannot be shown to be no older than the one accepted here last. "
                              "Nothing was installed.") +
               tellMaker;
    case Refusal::Expired:
        return QStringLiteral("The update list on the server expired on %1: the server may be "
                              "stuck on an old release. Nothing was installed. Try again later.")
                   .arg(when(failure.signedValue)) +
               tellMaker;
    }
    return QStringLiteral("The download of %1 was refused because its signature does not "
                          "match: nothing was installed from it.")
               .arg(file) +
           tellMaker;
}

} // namespace

QString explain(const Failure &failure, const FailureContext &context)
{
    const QString file = context.file.isEmpty() ? QStringLiteral("the update list") : context.file;
    switch (failure.kind) {
    case FailureKind::HostNotFound:
        return context.serverFromSetting
                   ? QStringLiteral("The server name %1 in the \"Update server\" setting could "
                                    "not be found. Check the network connection, or the setting.")
                         .arg(quoted(context.server))
                   : QStringLiteral("The update server %1 could not be found. Check the network "
                                    "connection.")
                         .arg(quoted(context.server));
    case FailureKind::Network:
        return QStringLiteral("The update server %1 did not answer, or broke off. Check the "
                              "network connection, or try again later.")
            .arg(quoted(context.server));
    case FailureKind::Tls:
        return QStringLiteral("The update server %1 could not prove who it is: its certificate "
                              "is not trusted. Nothing was downloaded.")
            .arg(quoted(context.server));
    case FailureKind::HttpStatus:
        if (failure.httpStatus == 404 || failure.httpStatus == 410) {
            return QStringLiteral("The update server has no %1.").arg(file) +
                   QString::fromUtf16(kTellMaker);
        }
        return QStringLiteral("The update server answered %1 for %2. Try again later.")
            .arg(quoted(statusLine(failure)), file);
    case FailureKind::Timeout:
        return QStringLiteral("No data came from the update server for %1 seconds while "
                              "fetching %2. Try again later, or allow more time with the "
                              "\"HTTP timeout\" setting.")
            .arg(context.timeoutSeconds)
            .arg(file);
    case FailureKind::TooLarge:
        return QStringLiteral("The download of %1 is larger than any update Freshgate accepts, "
                              "so it was stopped.")
                   .arg(file) +
               QString::fromUtf16(kTellMaker);
    case FailureKind::NoSpace:
        return capitalised(failure.message) +
               QStringLiteral(". Free some space on that disk and try again.");
    case FailureKind::TooSlow:
        return QStringLiteral("The update server sent %1 so slowly that the download would not "
                              "end in reasonable time, so it was stopped. Try again later.")
            .arg(file);
    case FailureKind::Signature:
        return refused(failure, file);
    case FailureKind::ReadOnly:
    case FailureKind::Denied:
    case FailureKind::Disk:
        return QStringLiteral("Freshgate could not write into the product's folder. Check that "
                              "the folder is not read-only and that you may change it.");
    case FailureKind::Archive:
        return QStringLiteral("The archive %1 could not be unpacked: it is damaged, or holds what "
                              "may not be installed. The files it would have replaced were kept.")
            .arg(file);
    case FailureKind::Content:
        return context.file.isEmpty()
                   ? QStringLiteral("The update server sent something that is not an update "
                                    "list, perhaps a network's sign-in page. Sign in to the "
                                    "network, or check the \"Update server\" setting.")
                   : QStringLiteral("The update server sent %1 empty or unusable.").arg(file) +
                         QString::fromUtf16(kTellMaker);
    case FailureKind::Cancelled:
        return QStringLiteral("The update was stopped.");
    case FailureKind::Usage:
        return QStringLiteral("Freshgate cannot use its settings: %1. Check the \"Update "
                              "server\" setting.")
            .arg(failure.message);
    }
    return failure.message;
}

} // namespace freshgate
