#include "InstalledProduct.h"

#include "support/Files.h"
#include "support/ProcessStop.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QThread>

namespace freshgate::test {

namespace {

constexpr int kPollIntervalMs = 50;
constexpr int kStopTimeoutMs = 10000;
constexpr int kWindowTimeoutMs = 30000;
constexpr int kRunTimeoutMs = 120000;
constexpr int kFinishTimeoutMs = 15000;

const QString kWindowTitle = QStringLiteral("Velmora Freshgate");
const QString kMessageBoxTitle = QStringLiteral("Freshgate");

const QString kInstalled = QStringLiteral("1");
const QString kInstalledExe = QStringLiteral("400");

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

// ---------------------------------------------------------------------------------------------

FreshgateProcess::FreshgateProcess(const QString &program, const QProcessEnvironment &environment,
                                   const QStringList &arguments)
{
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(program, arguments);
    m_process.waitForStarted(kStopTimeoutMs);
}

FreshgateProcess::~FreshgateProcess()
{
    stopProcess(m_process, kStopTimeoutMs);
}

void FreshgateProcess::collect()
{
    m_log += m_process.readAll();
}

QString FreshgateProcess::log()
{
    collect();
    return QString::fromLocal8Bit(m_log);
}

bool FreshgateProcess::waitForLog(const QString &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!log().contains(text)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return log().contains(text);
        }
        m_process.waitForReadyRead(kPollIntervalMs);
    }
    return true;
}

bool FreshgateProcess::waitForExit(int timeoutMs)
{
    const bool ended =
        m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
    collect();
    return ended;
}

// ---------------------------------------------------------------------------------------------

InstalledProduct::InstalledProduct()
{
    if (!m_outside.isValid() || !m_app.isValid()) {
        m_error = QStringLiteral("cannot create temporary folders");
        return;
    }
    if (!m_display.isRunning()) {
        m_error = m_display.errorString();
        return;
    }
    const QDir outside(m_outside.path());
    for (const char *sub : {"config", "home", "runtime", "started"}) {
        outside.mkpath(QLatin1String(sub));
    }
    QFile::setPermissions(outside.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    installProduct();
}

InstalledProduct::~InstalledProduct()
{
    // Processes go first, while the display they show on is still there.
    m_processes.clear();
}

bool InstalledProduct::installProduct()
{
    const QString freshgate = builtProgram(QStringLiteral("freshgate"));
    if (!QFile::exists(freshgate)) {
        m_error = QStringLiteral("no built freshgate at %1").arg(freshgate);
        return false;
    }
    const QString copy = m_app.filePath(QStringLiteral("freshgate"));
    if (!QFile::copy(freshgate, copy) ||
        !QFile::setPermissions(copy, QFile::permissions(copy) | QFile::ExeOwner)) {
        m_error = QStringLiteral("cannot copy freshgate into %1").arg(m_app.path());
        return false;
    }
    const QString program = QStringLiteral("Orvane4.exe");
    bool ok =
        m_app.write(program, programScript(program, kInstalledExe)) &&
        QFile::setPermissions(m_app.filePath(program),
                              QFile::permissions(m_app.filePath(program)) | QFile::ExeOwner) &&
        m_app.write(QStringLiteral("Orvane4.res"), resourceFileAt(kInstalled)) &&
        m_app.write(QStringLiteral("Orvane4.chm"), helpFileAt(kInstalled));
    const QMap<QString, QByteArray> data = dataFilesAt(kInstalled);
    for (auto it = data.cbegin(); it != data.cend(); ++it) {
        ok = ok && m_app.write(QStringLiteral("Data/") + it.key(), it.value());
    }
    if (!ok) {
        m_error = QStringLiteral("cannot lay out the installed product in %1").arg(m_app.path());
    }
    return ok;
}

QString InstalledProduct::settingsPath() const
{
    return QDir(m_outside.filePath(QStringLiteral("config")))
        .filePath(QStringLiteral("Velmora Orvane4.ini"));
}

bool InstalledProduct::writeSettings(const QString &updateServer, const Versions &installed) const
{
    QByteArray ini = "[Freshgate]\n";
    const auto add = [&ini](const char *key, const QString &value) {
        if (!value.isEmpty()) {
            ini += QByteArray(key) + '=' + value.toUtf8() + '\n';
        }
    };
    add("Resource%20file%20version", installed.resource);
    add("Data%20files%20version", installed.data);
    add("Help%20file%20version", installed.help);
    add("EXE%20file%20version", installed.exe);
    add("Update%20server", updateServer);
    return writeFile(settingsPath(), ini);
}

QByteArray InstalledProduct::settingsBytes() const
{
    return readFile(settingsPath());
}

QMap<QString, QString> InstalledProduct::freshgateSettings() const
{
    QSettings settings(settingsPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Freshgate"));
    QMap<QString, QString> values;
    for (const QString &key : settings.childKeys()) {
        values.insert(key, settings.value(key).toString());
    }
    return values;
}

QByteArray InstalledProduct::programScript(const QString &name, const QString &version) const
{
    const QString marker = QDir(m_outside.filePath(QStringLiteral("started"))).filePath(name);
    return QStringLiteral("#!/bin/sh\n"
                          "# %1 version %2: notes that it was started, and from where.\n"
                          "printf '%s\\n%s\\n' %3 \"$(pwd)\" > %4 && mv %4 %5\n")
        .arg(name, version, shellQuoted(version), shellQuoted(marker + QStringLiteral(".tmp")),
             shellQuoted(marker))
        .toUtf8();
}

QMap<QString, QString> InstalledProduct::startedPrograms() const
{
    QMap<QString, QString> started;
    const QDir dir(m_outside.filePath(QStringLiteral("started")));
    for (const QString &name : dir.entryList(QDir::Files)) {
        if (name.endsWith(QLatin1String(".tmp"))) {
            continue;
        }
        started.insert(name, QString::fromUtf8(readFile(dir.filePath(name))));
    }
    return started;
}

bool InstalledProduct::waitForProgramStart(int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (startedPrograms().isEmpty()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(kPollIntervalMs);
    }
    return true;
}

QString InstalledProduct::runLogPath() const
{
    return QDir(m_outside.filePath(QStringLiteral("state/freshgate")))
        .filePath(QStringLiteral("last-run.log"));
}

FreshgateProcess &InstalledProduct::launch(const QMap<QString, QString> &extra,
                                           const QStringList &arguments)
{
    QProcessEnvironment env = m_display.environment(QProcessEnvironment::systemEnvironment());
    const QDir outside(m_outside.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), outside.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("HOME"), outside.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), outside.filePath(QStringLiteral("home/.cache")));
    env.insert(QStringLiteral("XDG_DATA_HOME"),
               outside.filePath(QStringLiteral("home/.local/share")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), outside.filePath(QStringLiteral("runtime")));
    env.insert(QStringLiteral("XDG_STATE_HOME"), outside.filePath(QStringLiteral("state")));
    // No session bus: nothing may start one on the program's behalf and leave it running.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + outside.filePath(QStringLiteral("no-bus")));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("freshgate.*=true"));
    for (auto it = extra.cbegin(); it != extra.cend(); ++it) {
        env.insert(it.key(), it.value());
    }
    m_processes.push_back(std::make_unique<FreshgateProcess>(
        m_app.filePath(QStringLiteral("freshgate")), env, arguments));
    return *m_processes.back();
}

QString InstalledProduct::waitForWindow(FreshgateProcess &freshgate, XvfbDisplay::WindowId *window)
{
    *window = m_display.waitForWindow(kWindowTitle, kWindowTimeoutMs);
    if (*window == 0) {
        return QStringLiteral("no window \"%1\" within %2 s; log:\n%3")
            .arg(kWindowTitle)
            .arg(kWindowTimeoutMs / 1000)
            .arg(freshgate.log());
    }
    return {};
}

QString InstalledProduct::waitForRunComplete(FreshgateProcess &freshgate)
{
    const QDeadlineTimer deadline(kRunTimeoutMs);
    while (!freshgate.waitForLog(QStringLiteral("run complete"), 500)) {
        if (!m_display.windows(kMessageBoxTitle).isEmpty()) {
            return QStringLiteral("a message box came up; log:\n") + freshgate.log();
        }
        if (!freshgate.isRunning() || deadline.hasExpired()) {
            return QStringLiteral("the run did not complete; log:\n") + freshgate.log();
        }
    }
    return {};
}

QString InstalledProduct::acceptMessageBox(FreshgateProcess &freshgate)
{
    const XvfbDisplay::WindowId box = m_display.waitForWindow(kMessageBoxTitle, kRunTimeoutMs);
    if (box == 0) {
        return QStringLiteral("no message box; log:\n") + freshgate.log();
    }
    QString why;
    if (!m_display.pressKeys(box, QStringLiteral("Return"), &why)) {
        return why;
    }
    if (!m_display.waitForWindowGone(box, kMessageBoxTitle, kFinishTimeoutMs)) {
        return QStringLiteral("Return did not close the message box; log:\n") + freshgate.log();
    }
    return {};
}

QString InstalledProduct::pressFinish(FreshgateProcess &freshgate, XvfbDisplay::WindowId window)
{
    QString why;
    if (!m_display.pressKeys(window, QStringLiteral("alt+f"), &why)) {
        return why;
    }
    if (!m_display.waitForWindowGone(window, kWindowTitle, kFinishTimeoutMs)) {
        return QStringLiteral("Alt+F did not close the window; log:\n") + freshgate.log();
    }
    if (!freshgate.waitForExit(kFinishTimeoutMs)) {
        return QStringLiteral("the window closed, but the process goes on; log:\n") +
               freshgate.log();
    }
    if (freshgate.process().exitStatus() != QProcess::NormalExit ||
        freshgate.process().exitCode() != 0) {
        return QStringLiteral("freshgate ended with status %1; log:\n%2")
            .arg(freshgate.process().exitCode())
            .arg(freshgate.log());
    }
    if (!waitForProgramStart(kFinishTimeoutMs)) {
        return QStringLiteral("Finish started no program; log:\n") + freshgate.log();
    }
    return {};
}

QMap<QString, QByteArray> InstalledProduct::productFiles() const
{
    QMap<QString, QByteArray> files = m_app.snapshot();
    files.removeIf(
        [](const auto &entry) { return entry.key().startsWith(QLatin1String("Freshgate/")); });
    return files;
}

} // namespace freshgate::test
