#pragma once

#include <QString>
#include <optional>
#include <utility>

namespace freshgate {

// Why a step failed, in the terms a person needs to be told what to do about it. The kinds are
// coarse on purpose: the window explains a kind, the message carries the detail for the log.
enum class FailureKind {
    HostNotFound, // the server's name did not resolve
    Network,      // refused, unreachable, or dropped
    Tls,          // the server's certificate is not trusted, or the TLS handshake failed
    HttpStatus,   // the server answered, but not with 2xx
    Timeout,      // no data for the time-out
    TooSlow,      // data came, but too slowly for the download ever to end (slow retrieval)
    TooLarge,     // larger than a limit that protects the disk or the memory
    NoSpace,      // not enough free space on the disk
    Signature,    // refused by its signature, or no signature where one is required
    Disk,         // a file or folder could not be read, written, moved or removed
    Archive,      // not a cabinet, damaged, or holding what may not be installed
    Content,      // fetched whole, but not what was asked for (a page instead of a manifest)
    Cancelled,    // the user closed the window
    Usage,        // the caller asked for something impossible (no such URL scheme, a bad key)
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

struct Failure {
    FailureKind kind = FailureKind::Usage;
    // One line for the diagnostic log: the file, URL, status or system error.
    QString message;
    // For HttpStatus: the status the server sent.
    int httpStatus = 0;
    // For Signature: what was wrong, with the value signed and the value expected instead (a
    // version, a size, or seconds since the epoch), where the refusal has them.
    Refusal refusal = Refusal::Invalid;
    QString signedValue;
    QString expectedValue;
};

[[nodiscard]] inline Failure failure(FailureKind kind, QString message, int httpStatus = 0)
{
    return {kind, std::move(message), httpStatus, Refusal::Invalid, {}, {}};
}

[[nodiscard]] inline Failure refusal(Refusal why, QString message, QString signedValue = {},
                                     QString expectedValue = {})
{
    return {FailureKind::Signature, std::move(message),      0, why,
            std::move(signedValue), std::move(expectedValue)};
}

// The outcome of a step that can fail: a value, or why there is none. Never thrown; a caller
// that drops one by mistake gets a compiler warning.
template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_failure(std::move(failure)) {}

    [[nodiscard]] bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    [[nodiscard]] const T &value() const & { return *m_value; }
    [[nodiscard]] T &value() & { return *m_value; }
    [[nodiscard]] T &&value() && { return std::move(*m_value); }
    [[nodiscard]] const T *operator->() const { return &*m_value; }
    [[nodiscard]] const T &operator*() const { return *m_value; }

    // Only when !ok().
    [[nodiscard]] const Failure &failure() const { return m_failure; }
    [[nodiscard]] FailureKind kind() const { return m_failure.kind; }
    [[nodiscard]] const QString &message() const { return m_failure.message; }

private:
    std::optional<T> m_value;
    Failure m_failure;
};

// The outcome of a step that gives nothing back but can fail.
template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : m_failed(true), m_failure(std::move(failure)) {}

    [[nodiscard]] bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const Failure &failure() const { return m_failure; }
    [[nodiscard]] FailureKind kind() const { return m_failure.kind; }
    [[nodiscard]] const QString &message() const { return m_failure.message; }

private:
    bool m_failed = false;
    Failure m_failure;
};

using Status = Result<void>;

} // namespace freshgate
