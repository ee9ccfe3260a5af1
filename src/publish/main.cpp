// freshgate-publish: lays out the maker's component folders as the server
// folder that Freshgate reads.
#include "publish/Publisher.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <functional>

namespace {

using namespace freshgate;

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

const char kUsage[] = R"(Usage: freshgate-publish --out DIR [COMPONENT...]
       freshgate-publish --help | --version

Packs the product's component folders into cabinets and writes them, with the
version manifest, into DIR/freshgate/, the folder Freshgate fetches from
<update server>/freshgate/. DIR is the web server's document root (created if
missing, but not its parents).

Components (each folder is packed with its sub-folders; give at least one):
  --resource V DIR      resource file, version V, from folder DIR (ov4res.cab)
  --data V DIR          data files, version V, from DIR (ov4data.cab)
  --helpfile V DIR      help file, version V, from DIR (ov4help.cab)
  --exe V DIR           program EXE patch, EXE version V, from DIR (ov4exe.cab);
                        DIR must hold Orvane4.exe at its top
  --full-exe DIR        full program package from DIR (ov4fexe.cab); DIR must
                        hold setup.exe at its top. Needs --full-threshold, and an
                        EXE version: --exe now, or a patch already published
  --full-threshold V    the highest installed EXE version that must take the full
                        package instead of the patch. Alone, it changes only the
                        threshold of the full package already published
  --no-full-exe         withdraw the full package already published
  --sign KEY            sign every file with the minisign secret key KEY, writing
                        NAME.minisig beside it; an encrypted key takes its password
                        from the environment variable FRESHGATE_SIGN_PASSWORD. Each
                        signature's trusted comment names the file; a cabinet's
                        also its version and size, so clients refuse it beside
                        another release's manifest and stop a download at that size
  --valid-for DAYS      with --sign: the manifest's signature says it expires DAYS
                        days from now (1 to %5); clients refuse it after that, so
                        publish again before then. Without it, it never expires
  --unsigned            publish without signatures over a server folder that holds
                        some, dropping them: clients that check signatures then
                        refuse the update until the next run with --sign
  --allow-older         publish a component at a lower version than the server
                        offers, to roll back; clients that have the higher one
                        keep it
  -h, --help            show this text
  -v, --version         show the version

Versions are whole numbers from -32768 to 32767; Freshgate fetches a component
when the version published is greater than the one installed (%1 for resource,
%2 for data, %3 for help and %4 for the EXE until the first update). A version
that does not exceed that default draws a warning: no client with default
settings fetches it.

A component left out keeps the cabinet and version already published. One never
published gets version 0, with that warning; without a full package the
threshold is -32768. Publishing a new EXE version while an older full package
stays published is refused, since both share the one EXE version: give the new
full package too, or withdraw the old one.

Refused, with nothing written: a bad version, a missing or empty folder, a
symbolic link or special file in a folder, a file name Freshgate would not
extract or Windows cannot store, files in DIR/freshgate/ that this tool does
not manage, a run without --sign over signatures (unless --unsigned), and a
version lower than the one published (unless --allow-older). The new folder is
built beside the old one and swapped in whole, so Freshgate never sees a
half-written server folder.

Exit status: 0 published (one line per file written), or --help or --version
answered; 1 refused or failed, with nothing changed; 2 wrong command line.

Example:
  freshgate-publish --out /srv/www --resource 3 res/ --data 2 data/ \
      --helpfile 5 help/ --exe 420 patch/ --full-exe setup/ --full-threshold 410
writes /srv/www/freshgate/ov4arv.dat holding 3*2*5*420*410 and five cabinets.
)";

// The defaults come from the settings table, so the text cannot drift from it.
QString usage()
{
    const auto fallback = [](SettingKey key) {
        return QString::fromLatin1(settingInfo(key).fallback);
    };
    return QString::fromUtf8(kUsage).arg(
        fallback(SettingKey::ResourceVersion), fallback(SettingKey::DataVersion),
        fallback(SettingKey::HelpVersion), fallback(SettingKey::ExeVersion),
        QString::number(kMaxValidForDays));
}

void printLine(FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().append('\n').constData(), stream);
}

struct OptionSpec {
    QLatin1String name;
    int arity;
    QLatin1String needs; // what the values are, for the error text
    std::function<void(PublishOptions &, const QStringList &)> apply;
};

ComponentSource component(const QStringList &values)
{
    return ComponentSource{values.at(0), values.at(1)};
}

const QList<OptionSpec> &optionSpecs()
{
    static const QList<OptionSpec> specs = {
        {QLatin1String("--out"), 1, QLatin1String("a folder"),
         [](PublishOptions &o, const QStringList &v) { o.outDir = v.at(0); }},
        {QLatin1String("--resource"), 2, QLatin1String("a version and a folder"),
         [](PublishOptions &o, const QStringList &v) { o.resource = component(v); }},
        {QLatin1String("--data"), 2, QLatin1String("a version and a folder"),
         [](PublishOptions &o, const QStringList &v) { o.data = component(v); }},
        {QLatin1String("--helpfile"), 2, QLatin1String("a version and a folder"),
         [](PublishOptions &o, const QStringList &v) { o.help = component(v); }},
        {QLatin1String("--exe"), 2, QLatin1String("a version and a folder"),
         [](PublishOptions &o, const QStringList &v) { o.exe = component(v); }},
        {QLatin1String("--full-exe"), 1, QLatin1String("a folder"),
         [](PublishOptions &o, const QStringList &v) { o.fullExeFolder = v.at(0); }},
        {QLatin1String("--full-threshold"), 1, QLatin1String("a version"),
         [](PublishOptions &o, const QStringList &v) { o.fullThreshold = v.at(0); }},
        {QLatin1String("--no-full-exe"), 0, QLatin1String(),
         [](PublishOptions &o, const QStringList &) { o.withdrawFullExe = true; }},
        {QLatin1String("--sign"), 1, QLatin1String("a minisign secret key file"),
         [](PublishOptions &o, const QStringList &v) {
             o.signingKey = v.at(0);
             o.signingPassword = qEnvironmentVariable("FRESHGATE_SIGN_PASSWORD");
         }},
        {QLatin1String("--valid-for"), 1, QLatin1String("a number of days"),
         [](PublishOptions &o, const QStringList &v) {
             bool ok = false;
             const int days = v.at(0).toInt(&ok);
             // Out of range or not a number: refused with the range by the publisher.
             o.validForDays = ok ? days : 0;
         }},
        {QLatin1String("--unsigned"), 0, QLatin1String(),
         [](PublishOptions &o, const QStringList &) { o.dropSignatures = true; }},
        {QLatin1String("--allow-older"), 0, QLatin1String(),
         [](PublishOptions &o, const QStringList &) { o.allowOlder = true; }},
    };
    return specs;
}

struct CommandLine {
    enum class Action { Publish, ShowHelp, ShowVersion };
    Action action = Action::Publish;
    PublishOptions options;
    QString error;
};

// As the updater answers them: anywhere on the line, before anything else is read, help
// before the version.
CommandLine::Action requestedAnswer(const QStringList &arguments)
{
    const auto given = [&arguments](const char *shortName, const char *longName) {
        return arguments.mid(1).contains(QLatin1String(shortName)) ||
               arguments.mid(1).contains(QLatin1String(longName));
    };
    if (given("-h", "--help")) {
        return CommandLine::Action::ShowHelp;
    }
    if (given("-v", "--version")) {
        return CommandLine::Action::ShowVersion;
    }
    return CommandLine::Action::Publish;
}

// Options take one or two values, which QCommandLineParser cannot express, so
// the arguments are read here: "--name value..." or "--name=value value...".
CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine line;
    line.action = requestedAnswer(arguments);
    if (line.action != CommandLine::Action::Publish) {
        return line;
    }
    QStringList seen;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!argument.startsWith(QLatin1String("--"))) {
            line.error = QStringLiteral("unexpected argument \"%1\"").arg(argument);
            return line;
        }
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? argument : argument.left(equals);
        const OptionSpec *option = nullptr;
        for (const OptionSpec &candidate : optionSpecs()) {
            if (candidate.name == name) {
                option = &candidate;
            }
        }
        if (!option) {
            line.error = QStringLiteral("unknown option %1").arg(name);
            return line;
        }
        if (seen.contains(name)) {
            line.error = QStringLiteral("%1 is given twice").arg(name);
            return line;
        }
        seen << name;

        QStringList values;
        if (equals >= 0) {
            if (option->arity == 0) {
                line.error = QStringLiteral("%1 takes no value").arg(name);
                return line;
            }
            values << argument.mid(equals + 1);
        }
        while (values.size() < option->arity) {
            // A value may start with "-" (a negative version), but not with "--":
            // that is the next option, and the values before it are missing.
            if (i + 1 >= arguments.size() || arguments.at(i + 1).startsWith(QLatin1String("--"))) {
                line.error = QStringLiteral("%1 needs %2").arg(name, option->needs);
                return line;
            }
            values << arguments.at(++i);
        }
        option->apply(line.options, values);
    }
    if (line.options.outDir.isEmpty()) {
        line.error = QStringLiteral("--out is required");
    }
    return line;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("freshgate-publish"));

    QCoreApplication::setApplicationVersion(QStringLiteral(FRESHGATE_VERSION));

    const CommandLine line = parseCommandLine(QCoreApplication::arguments());
    switch (line.action) {
    case CommandLine::Action::ShowHelp:
        std::fputs(usage().toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Action::ShowVersion:
        printLine(stdout,
                  QStringLiteral("freshgate-publish %1").arg(QLatin1String(FRESHGATE_VERSION)));
        return 0;
    case CommandLine::Action::Publish:
        break;
    }
    if (!line.error.isEmpty()) {
        printLine(stderr, QStringLiteral("freshgate-publish: %1").arg(line.error));
        printLine(stderr, QStringLiteral("Try 'freshgate-publish --help'."));
        return kExitUsage;
    }

    const Result<PublishReport> result = publish(line.options);
    if (!result) {
        printLine(
            stderr,
            QStringLiteral("freshgate-publish: %1; nothing was changed").arg(result.message()));
        return kExitRefused;
    }
    for (const QString &entry : result->report) {
        printLine(stdout, entry);
    }
    for (const QString &note : result->notes) {
        printLine(stderr, QStringLiteral("freshgate-publish: note: %1").arg(note));
    }
    for (const QString &warning : result->warnings) {
        printLine(stderr, QStringLiteral("freshgate-publish: warning: %1").arg(warning));
    }
    return 0;
}
