#include "app/CommandLine.h"
#include "app/Form1.h"
#include "app/InstanceLock.h"
#include "app/LastRunLog.h"
#include "app/ShellElevation.h"
#include "app/Startup.h"
#include "base/FileProbe.h"
#include "settings/SettingsStore.h"
#include "transfer/TransferRules.h"
#include "update/ElevatedInstall.h"
#include "update/Explanation.h"
#include "update/ProductFolders.h"
#include "update/RunLog.h"
#include "update/TrustedFetch.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QMessageBox>
#include <cstdio>

namespace {

// What a person reading the log needs first: which Freshgate, when, on what, from where.
void logHeader(const QString &appFolder, const freshgate::SettingsStore &settings,
               const QString &serverBase, const QStringList &ignored)
{
    qCInfo(lcRun).noquote() << QStringLiteral("Freshgate %1, started %2")
                                   .arg(QLatin1String(FRESHGATE_VERSION),
                                        QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    qCInfo(lcRun).noquote() << "product folder:" << QDir::toNativeSeparators(appFolder);
    qCInfo(lcRun).noquote() << "update server:" << freshgate::maskedUrl(QUrl(serverBase));
    qCInfo(lcRun).noquote() << "settings:" << QDir::toNativeSeparators(settings.location());
    if (!ignored.isEmpty()) {
        qCInfo(lcRun).noquote() << "arguments ignored:" << ignored.join(u' ');
    }
}

// The elevated install step: no window, its log in the product's own work folder, where the
// Freshgate that started it reads it back into its own log.
int runElevatedStep(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    freshgate::letInByTest();
    const QString appFolder = QCoreApplication::applicationDirPath();
    // Read again from the system's own command line, which on Windows is wide: a user's folder
    // may have any name.
    const freshgate::CommandLine line =
        freshgate::parseCommandLine(QCoreApplication::arguments().mid(1));
    if (!freshgate::holdsProduct(appFolder)) {
        std::fputs("freshgate: no Orvane4 beside this program; nothing installed\n", stderr);
        return static_cast<int>(freshgate::HandOverExit::Refused);
    }
    freshgate::InstanceLock lock(appFolder);
    if (!lock.acquire()) {
        return static_cast<int>(freshgate::HandOverExit::Busy);
    }
    const freshgate::LastRunLog log(
        freshgate::handOverFolder(freshgate::ProductFolders(appFolder).workFolder()));
    const freshgate::HttpTransfer limits;
    const freshgate::ElevatedInstallSetup setup{
        appFolder, freshgate::trustedKeysFrom(QStringLiteral(FRESHGATE_PUBLIC_KEY)),
        limits.maxDownloadBytes()};
    return static_cast<int>(freshgate::runElevatedInstall(setup, line.handOver));
}

} // namespace

// The process: the command line, the log, the display, the product's folder, the lock, and
// then the window, which runs the update.
int main(int argc, char *argv[])
{
    freshgate::useParentConsole();
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    // Answered before anything else, so they work without a display and in any folder.
    const freshgate::CommandLine commandLine = freshgate::parseCommandLine(arguments);
    switch (commandLine.action) {
    case freshgate::CommandLine::Action::ShowHelp:
        std::fputs(qPrintable(freshgate::helpText()), stdout);
        return 0;
    case freshgate::CommandLine::Action::ShowVersion:
        std::printf("Freshgate %s\n", FRESHGATE_VERSION);
        return 0;
    case freshgate::CommandLine::Action::ElevatedInstall:
        return runElevatedStep(argc, argv);
    case freshgate::CommandLine::Action::RunUpdate:
        break;
    }
    const freshgate::LastRunLog log(freshgate::LastRunLog::defaultFolder());
    if (!freshgate::hasDisplay()) {
        std::fputs("freshgate: no display to show the window on (DISPLAY is not set)\n", stderr);
        return 1;
    }
    freshgate::beginStartup();
    QApplication app(argc, argv);
    freshgate::endStartup();
    QApplication::setApplicationName(QStringLiteral("Freshgate"));
    QApplication::setApplicationVersion(QStringLiteral(FRESHGATE_VERSION));

    const QString appFolder = QCoreApplication::applicationDirPath();
    freshgate::SettingsStore settings;
    const QString serverBase =
        freshgate::updateServerBase(settings, QStringLiteral(FRESHGATE_UPDATE_SERVER));
    logHeader(appFolder, settings, serverBase, commandLine.ignored);
    // A copy in a folder of programs, or anywhere else, must not write a product there.
    if (!freshgate::holdsProduct(appFolder)) {
        const QString folder = QDir::toNativeSeparators(appFolder);
        qCWarning(lcRun).noquote() << "no Orvane4 in" << folder << "; nothing done";
        QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                        freshgate::notBesideProductFirstLine(), QMessageBox::Ok);
        box.setInformativeText(freshgate::notBesideProduct(folder));
        box.exec();
        return 1;
    }
    const QString localRoot = freshgate::defaultLocalWorkRoot();
    freshgate::InstanceLock lock(appFolder, freshgate::localWorkFolder(localRoot, appFolder) +
                                                QStringLiteral(".lock"));
    if (!lock.acquire()) {
        return 0;
    }

    freshgate::Form1 window(settings, appFolder, serverBase);
    window.setLogPath(log.path());
    window.setTrustedKeys(freshgate::trustedKeysFrom(QStringLiteral(FRESHGATE_PUBLIC_KEY)));
    const std::unique_ptr<freshgate::ElevatedLauncher> elevation =
        freshgate::platformElevation(&window);
    window.setElevation(elevation.get(), localRoot);
    freshgate::closeOnTerminationSignals(window);
    window.show();
    return QApplication::exec();
}
