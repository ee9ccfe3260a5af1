#pragma once

#include <QString>
#include <system_error>
#include <utility>

namespace freshgate {

// Why a step failed, in the terms a person needs to be told what to do about it. The kinds are
// coarse on purpose: one table (update/Explanation) turns a kind into the user's words and says
// whether the server, the archive or this computer is to blame; the message carries the detail.
enum class FailureKind {
    // The server or the network path.
    HostNotFound, // the server's name did not resolve
    Network,      // refused, unreachable, or dropped
    Tls,          // the server's certificate is not trusted, or the TLS handshake failed
    HttpStatus,   // the server answered, but not with 2xx
    Timeout,      // no data for the time-out
    TooSlow,      // data came, but too slowly for the download ever to end (slow retrieval)
    TooLarge,     // larger than a limit that protects the disk or the memory
    Signature,    // refused by its signature, or no signature where one is required
    Content,      // fetched whole, but not what was asked for (a page instead of a manifest)
    // What the server sent, once it is here.
    Archive, // not a cabinet, damaged, or holding what may not be installed
    // This computer.
    NoSpace,  // not enough free space on the disk
    ReadOnly, // the file system is mounted read-only (a share, a locked-down machine)
    Denied,   // this user may not write there (permissions, an access list, Program Files)
    Disk,     // any other file-system failure: something in the way, an I/O error
    // Only an administrator may change the product's folder, and this build may not ask for
    // that right: it has no key to prove what an elevated install would put there.
    NeedsAdministrator,
    ElevationDeclined, // the user (or Windows) refused the elevated install step
    FolderBusy,        // another Freshgate (another user's, an administrator's) is updating it
    // Neither.
    Cancelled, // the user closed the window
    Usage,     // the caller asked for something impossible (no such URL scheme, a bad key)
};

// For Signature: which promise of the maker's signature a file did not keep, so a person is told
// which, not only that something was wrong.
enum class Refusal {
    Invalid,      // no signature, a malformed one, or one that does not match the file
    UnknownKey,   // signed by a key this build does not trust
    NoVersion,    // an archive whose signature names no version
    OtherVersion, // an archive signed for another version than the update list offers
    OtherSize,    // a file that is not the size its signature names
    Older,        // an update list signed before the last one accepted on this machine
    NoTimestamp,  // an update list without a signing time, where one is needed
    Expired,      // an update list past the end of validity its signature names
};

// One failure, from where it happens to where it is shown. The layer that fails says what
// happened (kind, message, and the path or status it concerns); each layer above adds what it
// was doing with within(), never re-wording it; only the explanation table chooses the words a
// user reads.
struct Failure {
    FailureKind kind = FailureKind::Usage;
    // The technical line for the log and "Show Details...": the URL or path, the status, the
    // system's error text, behind the context each layer added ("installing DataCore: moving
    // old.dat aside: Read-only file system").
    QString message;
    // For a failure of this computer: the file or folder that could not be used, as the user
    // knows it (native separators), so the sentence can name it.
    QString path;
    // For HttpStatus: the status the server sent.
    int httpStatus = 0;
    // For Signature: what was wrong, with the value signed and the value expected instead (a
    // version, a size, or seconds since the epoch), where the refusal has them.
    Refusal refusal = Refusal::Invalid;
    QString signedValue;
    QString expectedValue;

    // The same failure with what the caller was doing in front of the message.
    [[nodiscard]] Failure within(const QString &context) const &;
    [[nodiscard]] Failure within(const QString &context) &&;
};

[[nodiscard]] inline Failure failure(FailureKind kind, QString message, int httpStatus = 0)
{
    Failure why;
    why.kind = kind;
    why.message = std::move(message);
    why.httpStatus = httpStatus;
    return why;
}

[[nodiscard]] inline Failure refusal(Refusal why, QString message, QString signedValue = {},
                                     QString expectedValue = {})
{
    Failure refused = failure(FailureKind::Signature, std::move(message));
    refused.refusal = why;
    refused.signedValue = std::move(signedValue);
    refused.expectedValue = std::move(expectedValue);
    return refused;
}

// The kind a system error stands for: no space, a read-only file system, no permission, or
// any other disk failure. Knows POSIX errno values and Windows error codes alike.
[[nodiscard]] FailureKind kindOf(const std::error_code &ec);

// The system's own text for an error, in the user's language where the system has one.
[[nodiscard]] QString errorText(const std::error_code &ec);

// A failure of this computer: what was being done to path ("cannot move \"old.dat\" aside"),
// and the system's reason. path is shown to the user, in native separators.
[[nodiscard]] Failure fileFailure(const std::error_code &ec, const QString &path,
                                  const QString &doing);
// The same where only a kind and a reason are known (Qt's file classes give text, not codes).
[[nodiscard]] Failure fileFailure(FailureKind kind, const QString &path, const QString &doing,
                                  const QString &reason);

} // namespace freshgate
