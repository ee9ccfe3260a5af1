#pragma once

// How Freshgate hands the install step to a second, elevated Freshgate when the user who started
// it may not change the product's folder, and how that step answers. The caller downloads and
// checks the archives in a work folder of its own; the elevated step takes from it only which
// components, at which offered versions, and the folder holding their archives. It never takes a
// target: targets come from where the elevated program itself lives.

#include "base/Result.h"
#include "protocol/Components.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace freshgate {

// The first argument that starts Freshgate as the elevated install step.
inline constexpr char kElevatedInstallArgument[] = "--elevated-install";

// The elevated step's exit status.
enum class HandOverExit : int {
    AllInstalled = 0, // every component installed
    SomeFailed = 1,   // the result file says which failed and why
    Refused = 2,      // nothing done: a malformed hand-over, no key, or no product here
    Busy = 3,         // nothing done: another Freshgate is updating the product's folder
};

struct HandOverItem {
    Component component; // resource, data, help or the program patch
    QString offered;     // the version the manifest offers, which the signature must name

    friend bool operator==(const HandOverItem &, const HandOverItem &) = default;
};

struct HandOverRequest {
    // Names this hand-over in the result and the log, so that neither of an earlier one is read.
    QString id;
    // The caller's work folder, holding each archive and its signature under their local names.
    QString archiveFolder;
    QList<HandOverItem> items;
};

// The arguments after kElevatedInstallArgument ("ID FOLDER data=7 exe=415"), and back. Parsing
// refuses anything else: another component, a version that is not one, a relative folder.
[[nodiscard]] QStringList handOverArguments(const HandOverRequest &request);
[[nodiscard]] Result<HandOverRequest> parseHandOver(const QStringList &arguments);

// Where the elevated step leaves its log ("last-run.log") and its result ("result.json"): a
// folder in the product's own work folder, which only those who may change the product can
// write, so the elevated step never writes where the caller could have laid a link.
inline constexpr char kHandOverFolder[] = "~handover";
[[nodiscard]] QString handOverFolder(const QString &productWorkFolder);
[[nodiscard]] QString handOverResultPath(const QString &productWorkFolder);
[[nodiscard]] QString handOverLogPath(const QString &productWorkFolder);

// One component's outcome: nothing when it was installed.
struct HandOverOutcome {
    Component component;
    std::optional<Failure> failure;
};

[[nodiscard]] Status writeHandOverResult(const QString &path, const QString &id,
                                         const QList<HandOverOutcome> &outcomes);
// The outcomes, refused when the file is missing, malformed, or of another hand-over than id.
[[nodiscard]] Result<QList<HandOverOutcome>> readHandOverResult(const QString &path,
                                                                const QString &id);

// The user's own work folder for the product in appFolder, below root: one folder per product
// path, named by the product folder's name and a hash of its whole path.
[[nodiscard]] QString localWorkFolder(const QString &root, const QString &appFolder);
// %LOCALAPPDATA%\Freshgate\work on Windows, $XDG_DATA_HOME/Freshgate/work elsewhere.
[[nodiscard]] QString defaultLocalWorkRoot();

// arguments as one command line that a Windows program's C runtime splits back into exactly
// them (quotes, and backslashes before quotes, escaped).
[[nodiscard]] QString windowsCommandLine(const QStringList &arguments);

// Starts this program again with the rights to change the product's folder and waits for it;
// Windows asks the user first. The real one is the shell's "runas"; tests run the step in their
// own process or as a child process. GUI thread; the window stays live while it waits.
class ElevatedLauncher {
public:
    virtual ~ElevatedLauncher() = default;
    // The step's exit status, or why it did not run: ElevationDeclined when the user (or Windows)
    // said no.
    [[nodiscard]] virtual Result<int> runElevated(const QStringList &arguments) = 0;
};

} // namespace freshgate
