#pragma once

// What the verifying and the signing halves of the minisign code share: the file format's
// constants and the strict readers for it. Internal to freshgate_trust.

#include "base/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

class QFileDevice;

namespace freshgate::minisign::detail {

inline constexpr qsizetype kAlgBytes = 2;
inline constexpr qsizetype kKeyIdBytes = 8;
// minisign refuses a trusted comment line of this many bytes or more.
inline constexpr qsizetype kTrustedCommentMaxBytes = 8192;
inline constexpr qsizetype kMaxKeyTextBytes = qsizetype{4} * 1024;

inline constexpr char kUntrustedPrefix[] = "untrusted comment: ";
inline constexpr char kTrustedPrefix[] = "trusted comment: ";
inline constexpr char kLegacyAlg[] = "Ed";
inline constexpr char kPrehashedAlg[] = "ED";

// libsodium initialised once per process; false if it cannot be.
[[nodiscard]] bool sodiumReady();

// A key or a file that Qt could not open or read: Denied when permission was refused, else
// Disk, naming the file, with Qt's reason behind doing.
[[nodiscard]] Failure readFailure(const QFileDevice &file, const QString &doing);

inline const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// Strict: standard alphabet with padding, no white space inside, exactly `size` bytes.
[[nodiscard]] std::optional<QByteArray> decodeBase64(const QByteArray &text, qsizetype size);

// Lines as minisign reads them: LF or CRLF, blank lines at the end ignored.
[[nodiscard]] QList<QByteArray> splitLines(const QByteArray &text);

// Control characters other than tab, which would break a one-line comment.
[[nodiscard]] bool hasControlCharacter(const QByteArray &text);

// BLAKE2b-512 of the file, read in fixed-size blocks whatever its size. A file that cannot be
// read is a readFailure().
[[nodiscard]] Result<QByteArray> prehashFile(const QString &path);

} // namespace freshgate::minisign::detail
