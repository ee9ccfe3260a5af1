#pragma once

#include "trust/Minisign.h"
#include "update/HandOver.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace freshgate {

// What the elevated install step is given by its own build and location, never by its caller.
struct ElevatedInstallSetup {
    QString appFolder; // where the elevated program lives: the only product it changes
    std::optional<QList<minisign::PublicKey>> keys; // the build's; without them it does nothing
    qint64 maxBytes = 0;                            // the largest archive it copies
};

// The elevated half of the hand-over (see HandOver.h), arguments being those after
// kElevatedInstallArgument. It trusts nothing of its caller's but the names: each archive and its
// signature are copied into the product's own work folder, which the caller cannot write, and
// checked there again (the build's keys, the file's name, the offered version, the size), so an
// archive changed after the caller checked it is refused. An offer older than what the product's
// record holds is refused too. Each component is then installed through the journal, its
// version recorded in the product's record (never in a settings store: the elevated account's
// is not the caller's), and the outcome of each written to the result file. The caller holds the
// product's lock.
//
// GUI thread (or the main thread of the elevated process), synchronous; lines go to lcRun.
[[nodiscard]] HandOverExit runElevatedInstall(const ElevatedInstallSetup &setup,
                                              const QStringList &arguments);

} // namespace freshgate
