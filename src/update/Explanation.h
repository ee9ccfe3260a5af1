#pragma once

#include "base/Result.h"
#include "update/UpdateView.h"

#include <QString>

namespace freshgate {

// What a failure was about, beyond its kind.
struct FailureContext {
    QString file;                   // the server file ("ov4data.cab"); empty when none
    QString server;                 // the update server's host name
    bool serverFromSetting = false; // the "Update server" setting named it, not the build
    int timeoutSeconds = 0;
};

// Whom a failure is to be laid at, which decides what a person is told first.
enum class Blame {
    Server,       // the server or the network path: the product's own "could not contact" text
    Archive,      // what the server sent could not be installed: that component fails
    ThisComputer, // a folder, the disk or the settings here: said so, naming the place
    Nobody,       // the user stopped it
};

// The one table of kinds: whom each is laid at.
[[nodiscard]] Blame blameFor(FailureKind kind);

// The first line of the box that tells of a failure: the product's own text when the server or
// the network failed, a line that says this computer is the cause when it is.
[[nodiscard]] QString firstLine(const Failure &failure);

// One plain sentence of cause and remedy for a failure, shown under the first line; the
// failure's message stays the technical detail. Every kind of failure is worded here and
// nowhere else.
[[nodiscard]] QString explain(const Failure &failure, const FailureContext &context);

// The end of a run in which some component failed: the explanation under the list (what Finish
// starts, and that the rest is tried again next time), and the first line of the box that names
// the failed rows.
[[nodiscard]] QString partlyDoneCaption(FinishMode mode);
[[nodiscard]] QString partlyDoneFirstLine();

// Started in a folder that holds no Orvane4: the box's first line, and what it says of folder.
[[nodiscard]] QString notBesideProductFirstLine();
[[nodiscard]] QString notBesideProduct(const QString &folder);

} // namespace freshgate
