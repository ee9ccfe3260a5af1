#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace freshgate::test {

// Real cabinets for tests and benchmarks. Every function works on the calling thread, writes
// only the files it is given, and reports failure in its result (with *error where offered).

enum class CabCompression { None, MsZip };

// One member of a cabinet made by writeCabinet(). name is stored byte for byte (libgcab turns
// "/" into "\"); attributes are stored exactly, so 0x80 (name is UTF-8) and 0x40 (executable)
// are set or cleared as given.
struct CabMember {
    QByteArray name;
    QByteArray data;
    quint16 attributes = 0;
};

inline constexpr quint16 kCabAttribExec = 0x40;
inline constexpr quint16 kCabAttribUtf8Name = 0x80;

// A cabinet of every file under folder, names relative to it, made by the gcab command line
// ("gcab -c", with "-z" for MSZIP).
[[nodiscard]] bool makeCabinetWithGcab(const QString &folder, const QString &cabinet,
                                       CabCompression compression = CabCompression::MsZip,
                                       QString *error = nullptr);

// A cabinet of exactly these members, in this order, made with libgcab.
[[nodiscard]] bool writeCabinet(const QString &cabinet, const QList<CabMember> &members,
                                CabCompression compression = CabCompression::MsZip,
                                QString *error = nullptr);

// Turns a one-piece cabinet into one that claims a successor ("next.cab"), keeping every
// offset and the stated length right, as the first cabinet of a spanned set looks.
[[nodiscard]] bool markSpanned(const QString &cabinet, QString *error = nullptr);

[[nodiscard]] bool truncateFile(const QString &path, qint64 size);
// Changes count bytes from offset on (from the middle of the file when offset is negative),
// each by a different bit mask.
[[nodiscard]] bool corruptBytes(const QString &path, int count, qint64 offset = -1);

// The bytes of a cabinet of these files (relative path to content) made by makeCabinetWithGcab,
// or of exactly these members made by writeCabinet; empty when making it fails.
[[nodiscard]] QByteArray gcabCabinetBytes(const QMap<QString, QByteArray> &files);
[[nodiscard]] QByteArray cabinetBytes(const QList<CabMember> &members);

} // namespace freshgate::test
