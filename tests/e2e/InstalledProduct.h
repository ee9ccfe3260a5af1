#pragma once

#include "UpdateOffer.h"
#include "support/AppFolder.h"
#include "support/XvfbDisplay.h"

#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <vector>

namespace freshgate::test {

// One running freshgate, seen from outside as a user or a session sees it: its output (the
// diagnostic log) and its exit. The destructor ends a process still running, as a session's
// SIGTERM would, and kills it if that does not work. One thread.
class FreshgateProcess {
public:
    FreshgateProcess(const QString &program, const QProcessEnvironment &environment,
                     const QStringList &arguments = {});
    ~FreshgateProcess();
    FreshgateProcess(const FreshgateProcess &) = delete;
    FreshgateProcess &operator=(const FreshgateProcess &) = delete;

    [[nodiscard]] QProcess &process() { return m_process; }
    [[nodiscard]] bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // Everything it wrote so far (standard output and error).
    [[nodiscard]] QString log();
    // Polls until the log holds text; false after timeoutMs or when the process ended first.
    [[nodiscard]] bool waitForLog(const QString &text, int timeoutMs);
    // Waits for the process to end; false when it still runs after timeoutMs.
    [[nodiscard]] bool waitForExit(int timeoutMs);

private:
    void collect();

    QProcess m_process;
    QByteArray m_log;
};

// An installed Orvane4 at version 400 (resource, data and help at 1) in a temporary application
// folder, with a copy of the freshly built freshgate beside it, its own settings file, a
// private X display, and a folder outside the application folder where the product's programs
// note that they were started. Fails the set-up rather than skip when a piece is missing, since
// scripts/install-deps provides them all. Ends every freshgate it launched when destroyed.
// One thread.
class InstalledProduct {
public:
    InstalledProduct();
    ~InstalledProduct();
    InstalledProduct(const InstalledProduct &) = delete;
    InstalledProduct &operator=(const InstalledProduct &) = delete;

    // Empty when everything is in place; else what is missing.
    [[nodiscard]] QString setupError() const { return m_error; }

    [[nodiscard]] AppFolder &app() { return m_app; }
    [[nodiscard]] XvfbDisplay &display() { return m_display; }

    // The settings file freshgate reads and writes: "Velmora Orvane4.ini".
    [[nodiscard]] QString settingsPath() const;
    // Writes a settings file naming the update server, with the given installed versions.
    bool writeSettings(const QString &updateServer, const Versions &installed = {}) const;
    [[nodiscard]] QByteArray settingsBytes() const;
    // Every key of section "Freshgate", as QSettings reads it back.
    [[nodiscard]] QMap<QString, QString> freshgateSettings() const;

    // The product and set-up programs, as shell scripts that record their start.
    [[nodiscard]] QByteArray programScript(const QString &name, const QString &version) const;
    // name -> "version\nworking folder\n" of every program started so far.
    [[nodiscard]] QMap<QString, QString> startedPrograms() const;
    // Polls until some program has recorded its start; false after timeoutMs.
    [[nodiscard]] bool waitForProgramStart(int timeoutMs) const;

    // Starts APP/freshgate on the private display, with its diagnostic log on and extra in its
    // environment, given arguments as the product might give them.
    FreshgateProcess &launch(const QMap<QString, QString> &extra = {},
                             const QStringList &arguments = {});
    // The log every run writes, in the per-user state folder of the launched program.
    [[nodiscard]] QString runLogPath() const;

    // What a user sees and does. Each returns an empty text when it went as expected, else what
    // happened instead, with the program's log.
    // Waits for the updater window to be shown; its id in *window.
    QString waitForWindow(FreshgateProcess &freshgate, XvfbDisplay::WindowId *window);
    // Waits until the run has ended without a message box.
    QString waitForRunComplete(FreshgateProcess &freshgate);
    // Waits for the message box "Freshgate" and accepts it with Return.
    QString acceptMessageBox(FreshgateProcess &freshgate);
    // Presses Finish with Alt+F, then waits for the window to close, the process to end and a
    // program to note its start.
    QString pressFinish(FreshgateProcess &freshgate, XvfbDisplay::WindowId window);

    // Every file of the application folder outside the work folder, with its contents.
    [[nodiscard]] QMap<QString, QByteArray> productFiles() const;

private:
    bool installProduct();

    QTemporaryDir m_outside; // settings, home, markers: everything that is not the product
    AppFolder m_app;
    XvfbDisplay m_display;
    QString m_error;
    std::vector<std::unique_ptr<FreshgateProcess>> m_processes;
};

} // namespace freshgate::test
