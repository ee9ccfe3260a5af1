#include "app/CommandLine.h"

namespace freshgate {

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine line;
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            line.action = CommandLine::Action::ShowHelp;
        } else if (argument == QLatin1String("--version") || argument == QLatin1String("-v")) {
            if (line.action == CommandLine::Action::RunUpdate) {
                line.action = CommandLine::Action::ShowVersion;
            }
        } else {
            // An option Freshgate does not know may be a typo of one that matters; running the
            // update anyway would do what nobody asked for.
            return {CommandLine::Action::Refuse,
                    argument.startsWith(QLatin1Char('-'))
                        ? QStringLiteral("unknown option %1").arg(argument)
                        : QStringLiteral("unexpected argument %1").arg(argument)};
        }
    }
    return line;
}

QString usageLine()
{
    return QStringLiteral("Usage: freshgate [--help | --version]");
}

QString helpText()
{
    return usageLine() + QStringLiteral(R"(

Brings the Orvane4 installed in the folder of this program up to date: asks the
update server which versions of the product's components it offers, downloads
and unpacks the newer ones, and records their versions in the product's
settings. Every step shows in the window; Finish starts the product, or its
set-up program when a full program package came down.

Without options it runs the update. It reads its server and time-out from the
product's settings (Linux: "Velmora Orvane4.ini" in the user's configuration
folder; Windows: HKEY_CURRENT_USER\Software\VB and VBA Program Settings\
Velmora Orvane4).

  -h, --help       show this text
  -v, --version    show the version

A diagnostic log goes to standard error with
QT_LOGGING_RULES='freshgate.*=true'.
)");
}

} // namespace freshgate
