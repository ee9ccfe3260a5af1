#include "app/CommandLine.h"

#include "update/HandOver.h"

namespace freshgate {

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine line;
    if (!arguments.isEmpty() && arguments.first() == QLatin1String(kElevatedInstallArgument)) {
        line.action = CommandLine::Action::ElevatedInstall;
        line.handOver = arguments.mid(1);
        return line;
    }
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            line.action = CommandLine::Action::ShowHelp;
        } else if (argument == QLatin1String("--version") || argument == QLatin1String("-v")) {
            if (line.action == CommandLine::Action::RunUpdate) {
                line.action = CommandLine::Action::ShowVersion;
            }
        } else {
            line.ignored << argument;
        }
    }
    return line;
}

QString helpText()
{
    return QStringLiteral(R"(Usage: freshgate [--help | --version]

Brings the Orvane4 installed in the folder of this program up to date: asks the
update server which versions of the product's components it offers, downloads
and unpacks the newer ones, and records their versions in the product's
settings. Every step shows in the window; Finish starts the product, or its
set-up program when a full program package came down.

It runs the update whatever else the command line holds: the product may start
it with arguments of its own, which are ignored (the log names them). It reads
its server and time-out from the product's settings (Linux: "Velmora
Orvane4.ini" in the user's configuration folder; Windows:
HKEY_CURRENT_USER\Software\VB and VBA Program Settings\Velmora Orvane4).

  -h, --help       show this text
  -v, --version    show the version

Exit status:
  0  the window was closed, or --help or --version answered
  1  no display to show the window on, or the folder of this program holds no
     Orvane4 (neither Orvane4.exe nor Orvane4.res)

Every run writes its log, the run before kept beside it as previous-run.log:
  Linux    $XDG_STATE_HOME/freshgate/last-run.log (~/.local/state/freshgate/)
  Windows  %LOCALAPPDATA%\Freshgate\last-run.log
QT_LOGGING_RULES='freshgate.*=true' also shows it on standard error.
)");
}

} // namespace freshgate
