#pragma once

#include "base/Result.h"

#include <QFlags>
#include <QString>
#include <memory>

namespace freshgate {

// Builds one MSZIP-compressed cabinet (MSCF) with libgcab, one cabinet folder
// holding every member in the order added.
//
// Member names are stored with "\" separating folders, a "/" given turned into
// one here (libgcab does so itself only off Windows), so a cabinet comes out the
// same on every platform. They are not checked otherwise: the publisher checks
// them before it adds them, and tests use this class to make cabinets that an
// extractor must refuse. Not thread-safe; use one writer per cabinet from one
// thread.
class CabinetWriter {
public:
    enum class Attribute : quint32 {
        ReadOnly = 0x01,
        Hidden = 0x02,
        System = 0x04,
        Archive = 0x20,
        Executable = 0x40,
    };
    Q_DECLARE_FLAGS(Attributes, Attribute)

    // The format counts data blocks of 32 KiB in 16 bits, so one cabinet folder
    // holds at most this many bytes of member content.
    static constexpr qint64 kMaxContentBytes = qint64{65535} * 32768 - 1;

    // A member's name as stored (UTF-8, "\" between folders) takes at most 256
    // bytes with its terminating zero.
    static constexpr int kMaxNameBytes = 255;

    CabinetWriter();
    ~CabinetWriter();
    CabinetWriter(const CabinetWriter &) = delete;
    CabinetWriter &operator=(const CabinetWriter &) = delete;

    // Adds a member whose content is read from sourcePath when write() runs, so
    // the source must stay in place and unchanged until then. Names that are
    // not pure ASCII are flagged UTF-8. Fails, adding nothing: for an empty name
    // or a call after write() (Usage), a source that is not a regular file
    // (Disk, naming it), a duplicate name, a name longer than kMaxNameBytes in
    // UTF-8 or content that would outgrow kMaxContentBytes (Archive).
    [[nodiscard]] Status addFile(const QString &memberName, const QString &sourcePath,
                                 Attributes attributes);

    [[nodiscard]] int memberCount() const;
    [[nodiscard]] qint64 contentBytes() const;

    // Writes the cabinet to a new file at path; an existing file there is an
    // error and stays untouched. On any other failure the partly written file
    // is removed. The failure names path, with the kind the system gave (NoSpace,
    // ReadOnly, Denied, or Disk, also for a source that can no longer be read),
    // or Archive where libgcab cannot make the cabinet. Call once.
    [[nodiscard]] Status write(const QString &path);

private:
    // What the writer checks before it takes a member: not after write(), a name that fits, a
    // regular file, room left in the cabinet.
    [[nodiscard]] static Status checkMember(bool written, const QString &memberName,
                                            const QString &sourcePath, qint64 bytesSoFar);
    // Whether a member's name must be flagged as UTF-8.
    [[nodiscard]] static bool isAscii(const QString &text);

    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(CabinetWriter::Attributes)

} // namespace freshgate
