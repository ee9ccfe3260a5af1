#include "update/Explanation.h"

#include "platform/StringTable.h"

#include <QDateTime>
#include <array>

namespace freshgate {
namespace {

constexpr char16_t kTellMaker[] = u" Tell the maker of Orvane4.";

struct KindRow {
    FailureKind kind;
    Blame blame;
};

constexpr std::array<KindRow, 19> kKinds{{
    {FailureKind::HostNotFound, Blame::Server},
    {FailureKind::Network, Blame::Server},
    {FailureKind::Tls, Blame::Server},
    {FailureKind::HttpStatus, Blame::Server},
    {FailureKind::Timeout, Blame::Server},
    {FailureKind::TooSlow, Blame::Server},
    {FailureKind::TooLarge, Blame::Server},
    {FailureKind::Signature, Blame::Server},
    {FailureKind::Content, Blame::Server},
    {FailureKind::Archive, Blame::Archive},
    {FailureKind::NoSpace, Blame::ThisComputer},
    {FailureKind::ReadOnly, Blame::ThisComputer},
    {FailureKind::Denied, Blame::ThisComputer},
    {FailureKind::Disk, Blame::ThisComputer},
    {FailureKind::NeedsAdministrator, Blame::ThisComputer},
    {FailureKind::ElevationDeclined, Blame::ThisComputer},
    {FailureKind::FolderBusy, Blame::ThisComputer},
    {FailureKind::Cancelled, Blame::Nobody},
    // A server address the settings name but that is no address: the setting is the server's.
    {FailureKind::Usage, Blame::Server},
}};

// Where a failure of this computer happened, as the user knows the place.
QString place(const Failure &failure)
{
    return failure.path.isEmpty() ? QStringLiteral("the product's folder")
                                  : QLatin1Char('"') + failure.path + QLatin1Char('"');
}

QString thisComputer(const Failure &failure)
{
    switch (failure.kind) {
    case FailureKind::NoSpace:
        return QStringLiteral("There is not enough free space on the disk that holds %1. Free "
                              "some space on that disk, then try again.")
            .arg(place(failure));
    case FailureKind::ReadOnly:
        return QStringLiteral("%1 is on a read-only file system, so Freshgate cannot change it. "
                              "Make it writable (or ask whoever manages this computer to), then "
                              "try again.")
            .arg(place(failure));
    case FailureKind::Denied:
        return QStringLiteral("You may not change %1. Ask whoever manages this computer for "
                              "permission to change it, or run Freshgate as a user who may, then "
                              "try again.")
            .arg(place(failure));
    case FailureKind::NeedsAdministrator:
        return QStringLiteral("Only an administrator may change %1, and this Freshgate may not ask "
                              "Windows for that permission: it was built without a key to check "
                              "updates with. An administrator must run Freshgate for this folder, "
                              "or the maker of Orvane4 can build Freshgate with a key.")
            .arg(place(failure));
    case FailureKind::ElevationDeclined:
        return QStringLiteral("Windows did not allow Freshgate to change %1, so nothing was "
                              "changed there. Run Freshgate again and allow it to make changes, "
                              "or ask an administrator to.")
            .arg(failure.path.isEmpty() ? QStringLiteral("the product's folder") : failure.path);
    case FailureKind::FolderBusy:
        return QStringLiteral("Another Freshgate, started by another user or an administrator, "
                              "is updating %1 at the moment, so nothing was changed there. Try "
                              "again once it has finished.")
            .arg(place(failure));
    default:
        return QStringLiteral("Freshgate could not write to %1. Check that nothing is in its way "
                              "(such as a file where a folder belongs) and that the disk works, "
                              "then try again.")
            .arg(place(failure));
    }
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// "GET ...: HTTP status 503 Service Unavailable" -> "503 Service Unavailable".
QString statusLine(const Failure &failure)
{
    const QString prefix = QStringLiteral("HTTP status ");
    const qsizetype at = failure.message.indexOf(prefix);
    QString line =
        at >= 0 ? failure.message.mid(at + prefix.size()) : QString::number(failure.httpStatus);
    const qsizetype comma = line.indexOf(QLatin1Char(','));
    return (comma < 0 ? line : line.left(comma)).trimmed();
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

Blame blameFor(FailureKind kind)
{
    for (const KindRow &row : kKinds) {
        if (row.kind == kind) {
            return row.blame;
        }
    }
    return Blame::Server;
}

QString firstLine(const Failure &failure)
{
    if (blameFor(failure.kind) == Blame::ThisComputer) {
        return QStringLiteral("Freshgate could not save the updates on this computer. Please see "
                              "below what to do.");
    }
    return LoadResString(StringId::ContactFailed);
}

QString partlyDoneCaption(FinishMode mode)
{
    const QString start = QStringLiteral("Some updates could not be installed and will be tried "
                                         "again next time, please click finish to run ");
    return start + (mode == FinishMode::RunSetup
                        ? QStringLiteral("Orvane4 Setup to install the latest version of Orvane4.")
                        : QStringLiteral("Orvane4."));
}

QString partlyDoneFirstLine()
{
    return QStringLiteral("Some updates could not be installed. Freshgate will try them again "
                          "the next time it runs.");
}

QString notBesideProductFirstLine()
{
    return QStringLiteral("Freshgate must sit beside Orvane4.");
}

QString notBesideProduct(const QString &folder)
{
    return QStringLiteral("The folder \"%1\" holds no Orvane4 (no Orvane4.exe and no Orvane4.res), "
                          "so Freshgate changed nothing there and contacted no server. Put "
                          "Freshgate in the folder Orvane4 is installed in, and start it from "
                          "there.")
        .arg(folder);
}

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
    case FailureKind::TooSlow:
        return QStringLiteral("The update server sent %1 so slowly that the download would not "
                              "end in reasonable time, so it was stopped. Try again later.")
            .arg(file);
    case FailureKind::Signature:
        return refused(failure, file);
    case FailureKind::NoSpace:
    case FailureKind::ReadOnly:
    case FailureKind::Denied:
    case FailureKind::Disk:
    case FailureKind::NeedsAdministrator:
    case FailureKind::ElevationDeclined:
    case FailureKind::FolderBusy:
        return thisComputer(failure);
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
