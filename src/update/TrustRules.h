#pragma once

// What a build with a key demands of the trusted comments of the files it fetches, beyond a
// valid signature: that an archive belongs to the release the manifest offers, and that a
// manifest is neither older than one accepted before nor past its end of validity. Pure rules,
// apart from the network and the store, so they can be tested from tables.

#include "base/Result.h"
#include "trust/TrustedComment.h"

#include <QString>
#include <optional>

namespace freshgate {

// Clocks disagree: a manifest is still taken this long after its "expires:" time.
inline constexpr qint64 kExpiryGraceSeconds = qint64{5} * 60;

// An archive's comment must carry "version:" equal, as a version, to the manifest field that made
// the run fetch it. Refusals: Refusal::NoVersion, Refusal::OtherVersion.
[[nodiscard]] Status checkArchiveFields(const minisign::CommentFields &fields,
                                        const QString &offered);

// A manifest's comment: its "timestamp:" no older than lastAccepted (the stored time of the
// newest manifest accepted before, none on a first run), and now no later than its "expires:"
// plus the grace. Refusals: Refusal::Older, Refusal::NoTimestamp, Refusal::Expired.
[[nodiscard]] Status checkManifestFields(const minisign::CommentFields &fields,
                                         std::optional<qint64> lastAccepted, qint64 now);

// The stored time as it reads, nothing when absent or not a time.
[[nodiscard]] std::optional<qint64> parseStoredTime(const QString &text);

// What to store once a manifest signed at signedAt was accepted: nothing when the store must not
// change (no time signed, or not newer than the one stored). A time ahead of this machine's clock
// is stored as the clock's time, so that a manifest stamped far in the future (a stolen key, a
// maker's wrong clock) cannot lock out the maker's later manifests.
[[nodiscard]] std::optional<qint64> timeToStore(std::optional<qint64> signedAt,
                                                std::optional<qint64> stored, qint64 now);

} // namespace freshgate
