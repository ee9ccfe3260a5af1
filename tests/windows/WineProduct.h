#pragma once

#include "support/XvfbDisplay.h"

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>

namespace freshgate::test {

// The path by which Windows programs under Wine reach a host path: drive Z: is the host's root.
[[nodiscard]] QString windowsPath(const QString &hostPath);

// Orvane4 at 1, 1, 1, 400 in a folder named "Prodüct Ørvane", with freshgate.exe
// (FRESHGATE_WINDOWS_EXE) beside it, a Wine prefix of its own and a private X display: the
// registry it writes and the certificates it trusts are a private prefix's, never the user's,
// and go with the object. Orvane4.exe (and setup.exe in a full package) is a tiny Windows program
// made here with mingw that notes, beside itself, that it was started. Made by the constructor
// (check setupError()); used from one thread.
class WineProduct {
public:
    WineProduct();
    // With this build of freshgate.exe in the product's folder instead.
    explicit WineProduct(QString freshgateExe);
    ~WineProduct();
    WineProduct(const WineProduct &) = delete;
    WineProduct &operator=(const WineProduct &) = delete;

    [[nodiscard]] QString setupError() const { return m_error; }
    XvfbDisplay &display() { return m_display; }
    [[nodiscard]] QString product() const { return m_product; }
    [[nodiscard]] QString file(const QString &relative) const;
    // A folder of the test's own beside the product, for what a test lays out.
    [[nodiscard]] QString scratch() const;
    // What the program Finish started wrote: its working folder and its command line.
    [[nodiscard]] QString startedProgram() const { return m_started; }

    // For every process of the prefix: the display, the prefix, and no installer prompts.
    [[nodiscard]] QProcessEnvironment environment() const;

    // Runs a Windows program (or one of Wine's own, such as reg) to its end in the product's
    // folder; its output, or nothing and why in *error. extra adds to the environment.
    std::optional<QString> wine(const QStringList &arguments, QString *error,
                                const QProcessEnvironment &extra = {}) const;

    // Sets a value of the product's Freshgate registry branch; what went wrong, or nothing.
    [[nodiscard]] QString setRegistry(const QString &name, const QString &value) const;
    // Every value of the Freshgate branch, as `reg query` reads it back.
    [[nodiscard]] QMap<QString, QString> registry() const;

    // Makes the authority whose certificate (DER) this is a trusted root of the prefix's machine
    // store, where Wine's crypt32 (and with it Schannel) looks for roots; what went wrong, or
    // nothing.
    [[nodiscard]] QString trustAuthority(const QByteArray &der) const;

    // Sets a variable for freshgate.exe's next start.
    void setLaunchVariable(const QString &name, const QString &value);
    // Starts freshgate.exe in the product's folder; what went wrong, or nothing.
    [[nodiscard]] QString launch();
    // Points the product at server (a base URL), starts freshgate.exe and waits for its window
    // (into *window) and for the log line end; what went wrong, or nothing.
    [[nodiscard]] QString runAgainst(const QString &server, XvfbDisplay::WindowId *window,
                                     const QString &end = QStringLiteral("run complete"));
    // freshgate.exe's output so far.
    QString log();
    // Waits for the log line end; a message box on the way is a failure.
    [[nodiscard]] QString waitForRunComplete(const QString &end = QStringLiteral("run complete"));
    // Waits for Freshgate's message box and copies its text into *text with Ctrl+C, as a user
    // copies it to send it on, after a PNG of it to screenshot when that is not empty; what went
    // wrong, or nothing.
    [[nodiscard]] QString copyMessageBox(QString *text, const QString &screenshot = {});
    // Finish with Return, as the keyboard user presses it; then waits for the program it starts
    // (expected, relative to the product) to note its start. What went wrong, or nothing.
    [[nodiscard]] QString pressFinish(XvfbDisplay::WindowId window, const QString &expected);

    // The Windows program at a version: the same code, with the version in bytes after its end,
    // where Windows does not look, so each version is a different file that still runs.
    [[nodiscard]] QByteArray program(const QString &version) const;

private:
    QString setUp();

    QTemporaryDir m_root;
    XvfbDisplay m_display;
    QString m_product;
    QString m_prefix;
    QString m_program;
    QString m_error;
    QString m_started;
    QString m_freshgateExe;
    QProcessEnvironment m_launchVariables;
    QProcess m_freshgate;
    QByteArray m_log;
};

} // namespace freshgate::test
