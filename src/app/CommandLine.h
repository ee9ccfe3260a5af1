#pragma once

#include <QString>
#include <QStringList>

namespace freshgate {

// What the command line asks for. Freshgate takes no settings from it: the product starts it
// without arguments, and everything it needs is in the settings store.
struct CommandLine {
    enum class Action { RunUpdate, ShowHelp, ShowVersion, Refuse };
    Action action = Action::RunUpdate;
    // For Refuse: the one line that says what was wrong.
    QString problem;
};

// arguments without the program's own name.
[[nodiscard]] CommandLine parseCommandLine(const QStringList &arguments);

// The text --help prints, and the usage line a refused command line gets.
[[nodiscard]] QString helpText();
[[nodiscard]] QString usageLine();

} // namespace freshgate
