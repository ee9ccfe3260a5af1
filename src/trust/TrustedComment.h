#pragma once

// The fields of a minisign trusted comment: tab-separated "name:value" pairs, the form in which
// minisign itself writes "timestamp:" and "file:", so a maker can still sign by hand with
// `minisign -S -t`. The signature covers the comment, so these are the maker's word.

#include "base/Result.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace freshgate::minisign {

struct CommentFields {
    std::optional<qint64> timestamp{}; // when it was signed, seconds since the epoch
    std::optional<QString> file{};     // the name the file is served under
    std::optional<QString> version{};  // the version an archive carries
    std::optional<qint64> size{};      // the file's size in bytes
    std::optional<qint64> expires{};   // when a manifest stops being valid, seconds since the epoch
};

// Reads the fields it knows. A known field given twice, or a number field that is not a whole
// non-negative number, is refused (FailureKind::Signature): the maker's word must be unambiguous.
// Words without a colon (minisign's "hashed") and unknown names are left alone.
[[nodiscard]] Result<CommentFields> parseComment(const QString &comment);

// The comment as the publisher signs it: "timestamp:" first, as minisign writes it, then the
// fields that are set, then "prehashed". Each value must be one line without tabs; one that is
// not, or a comment longer than minisign reads, is refused (FailureKind::Usage).
[[nodiscard]] Result<QByteArray> formatComment(const CommentFields &fields);

} // namespace freshgate::minisign
