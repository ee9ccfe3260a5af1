#pragma once

#include <QString>
#include <QStringList>

namespace freshgate {

// The outcome of one extraction. error is one line for the diagnostic log; members counts
// the members of the cabinet, known once every name passed (so also on later failures).
struct ExtractResult {
    bool ok = false;
    QString error;
    int members = 0;
};

// Stands in for the platform's cabinet control: set the cabinet file, then extract it into a
// folder. GUI thread, synchronous, runs no event loop, never throws.
//
// Extraction is all or nothing. Every member name is checked with safeMemberPath() before
// anything is written; the members are then written into a staging folder inside the work
// folder, checked against the sizes the cabinet states, and only then moved into the
// destination. Files they replace are kept in a backup folder until every move succeeded, so
// a failure at any point leaves the destination exactly as it was.
class CabinetExtractor {
public:
    // Staging ("~staging") and backup ("~backup") folders are made inside workFolder, which is
    // created when missing, and are gone again when extract() returns.
    explicit CabinetExtractor(QString workFolder);

    void setCabinetFile(const QString &path);
    QString cabinetFile() const;
    QString workFolder() const;

    // Every member into destination (created when missing), nested folders included, replacing
    // files of the same name. alsoRemove: file names relative to destination that go in the
    // same transaction (a missing one is fine), so an old file disappears only when the new
    // set extracted whole. Members flagged executable get execute permission where the file
    // system has permissions.
    [[nodiscard]] ExtractResult extract(const QString &destination,
                                        const QStringList &alsoRemove = {});

private:
    [[nodiscard]] ExtractResult run(const QString &destination, const QStringList &alsoRemove);

    QString m_workFolder;
    QString m_cabinetFile;
};

} // namespace freshgate
