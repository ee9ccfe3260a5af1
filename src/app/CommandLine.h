#pragma once

#include <QString>
#include <QStringList>

namespace freshgate {

// What the command line asks for. Freshgate takes nothing from it for the update: the product
// starts it, perhaps with arguments of its own, and everything the update needs is in the
// settings store. Only --help/-h and --version/-v act; any other argument is ignored (and
// logged) and the update runs as without it. Freshgate's own hand-over to its elevated install
// step (see update/HandOver.h) is taken only as the first argument; anywhere else it is ignored.
struct CommandLine {
    enum class Action { RunUpdate, ShowHelp, ShowVersion, ElevatedInstall };
    Action action = Action::RunUpdate;
    // The arguments that were not asked to do anything, as given.
    QStringList ignored;
    // For ElevatedInstall: the arguments after the first, which Freshgate gave itself when it
    // started the elevated install step.
    QStringList handOver;
};

// arguments without the program's own name.
[[nodiscard]] CommandLine parseCommandLine(const QStringList &arguments);

// The text --help prints.
[[nodiscard]] QString helpText();

} // namespace freshgate
