#pragma once

#include "base/Result.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace freshgate {

// A component the maker hands over: the version to announce and the folder
// whose files, sub-folders included, become its cabinet.
struct ComponentSource {
    QString version; // as typed: a whole number from -32768 to 32767
    QString folder;
};

// The longest --valid-for: ten years is "does not expire" by another name.
inline constexpr int kMaxValidForDays = 3650;

// One publishing run. A component left out keeps the cabinet and version the
// server folder already holds; with none there, its version is written as
// kUnpublishedVersion and no cabinet is published.
struct PublishOptions {
    QString outDir; // the server root; the files go to outDir/freshgate/
    std::optional<ComponentSource> resource;
    std::optional<ComponentSource> data;
    std::optional<ComponentSource> help;
    std::optional<ComponentSource> exe;   // the patch; its version is the EXE version
    std::optional<QString> fullExeFolder; // the full package; needs setup.exe at its top
    std::optional<QString> fullThreshold; // highest installed EXE version that takes it
    bool withdrawFullExe = false;         // drop the full package the server holds
    // A minisign secret key: every file of the new folder gets NAME.minisig
    // beside it. Without one no signature is written, and none can be kept,
    // since the manifest changes with every run.
    std::optional<QString> signingKey;
    QString signingPassword; // for an encrypted key
    // With a key: the manifest's signature says it expires this many days from now, after
    // which clients refuse it, so a mirror frozen on an old release is found out. Needs a
    // key; without it the manifest does not expire.
    std::optional<int> validForDays;
    // Publish without signatures over a folder that holds some, dropping them.
    // Without it such a run is refused: clients that check signatures would
    // refuse everything until the next signed run.
    bool dropSignatures = false;
    // Publish a component at a lower version than the server offers (a roll
    // back). Without it such a run is refused.
    bool allowOlder = false;
};

// What a run that published tells the maker.
struct PublishReport {
    QStringList report;   // one line per file in the new server folder
    QStringList notes;    // what the maker may not expect, such as a withdrawn package
    QStringList warnings; // versions no client with a default settings store fetches
    QString manifest;     // the manifest text written
};

// The version announced for a component the server does not hold: no higher
// than any default of the settings store, so a default client never asks for
// the missing cabinet.
inline constexpr qint16 kUnpublishedVersion = 0;
// A threshold no installed EXE version lies at or below, save this very one:
// used when the server offers no full package.
inline constexpr qint16 kNoFullPackageThreshold = -32768;

// Checks everything it is given before it writes anything, then builds the
// complete new server folder beside the old one and swaps it in, so a failure
// at any point leaves outDir as it was (a missing outDir is created, and
// removed again on failure). One run at a time per outDir (a lock file inside
// it). Paths may use either separator where the platform has two. A failure is
// Usage for what the maker asked wrongly or handed over unpublishable, this
// computer's kind (naming the path) for a file or folder that cannot be read or
// written, Archive for a cabinet the format cannot hold. Blocking; call from one
// thread.
[[nodiscard]] Result<PublishReport> publish(const PublishOptions &options);

} // namespace freshgate
