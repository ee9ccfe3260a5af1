#include "support/XvfbDisplay.h"

#include "support/Files.h"
#include "support/Process.h"
#include "support/ProcessStop.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

namespace freshgate::test {

namespace {

constexpr int kStartTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kPollIntervalMs = 100;

QString logFileName()
{
    return QStringLiteral("xvfb.log");
}

} // namespace

QString exactTitlePattern(const QString &title)
{
    static const QString special = QStringLiteral("\\.[]{}()*+?|^$");
    QString pattern = QStringLiteral("^");
    for (const QChar c : title) {
        if (special.contains(c)) {
            pattern += QLatin1Char('\\');
        }
        pattern += c;
    }
    return pattern + QLatin1Char('$');
}

XvfbDisplay::XvfbDisplay()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder: ") + m_dir.errorString();
        return;
    }
    start();
}

XvfbDisplay::~XvfbDisplay()
{
    // SIGTERM lets Xvfb remove its lock file and socket.
    stopProcess(m_process, kStopTimeoutMs);
}

bool XvfbDisplay::isRunning() const
{
    return m_process.state() == QProcess::Running && !m_name.isEmpty();
}

QString XvfbDisplay::log() const
{
    return QString::fromLocal8Bit(readFile(m_dir.filePath(logFileName())));
}

bool XvfbDisplay::start()
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (program.isEmpty()) {
        m_error = QStringLiteral("Xvfb is not installed (Debian package xvfb)");
        return false;
    }
    m_process.setStandardErrorFile(m_dir.filePath(logFileName()));
    // -displayfd 1: Xvfb takes the first free display number and writes it to standard
    // output once it accepts connections.
    m_process.start(program,
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                     QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                     QStringLiteral("1024x768x24")});
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        m_error = QStringLiteral("cannot start Xvfb: ") + m_process.errorString();
        return false;
    }
    QByteArray out;
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!out.contains('\n') && m_process.state() == QProcess::Running &&
           !deadline.hasExpired()) {
        m_process.waitForReadyRead(kPollIntervalMs);
        out += m_process.readAllStandardOutput();
    }
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok || m_process.state() != QProcess::Running) {
        m_error = QStringLiteral("Xvfb did not start: ") + log();
        m_process.kill();
        m_process.waitForFinished(kStopTimeoutMs);
        return false;
    }
    m_name = QStringLiteral(":%1").arg(number);
    return true;
}

QProcessEnvironment XvfbDisplay::environment(const QProcessEnvironment &base) const
{
    QProcessEnvironment env = base;
    env.insert(QStringLiteral("DISPLAY"), m_name);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

std::optional<QString> XvfbDisplay::xdotool(const QStringList &arguments, QString *error,
                                            int timeoutMs) const
{
    const ProcessRun run =
        runProcess(QStringLiteral("xdotool"), arguments,
                   ProcessOptions()
                       .withEnvironment(environment(QProcessEnvironment::systemEnvironment()))
                       .withTimeout(timeoutMs));
    if (!run.succeeded()) {
        if (error) {
            *error = run.failure().trimmed();
        }
        return std::nullopt;
    }
    return QString::fromLocal8Bit(run.out);
}

QList<XvfbDisplay::WindowId> XvfbDisplay::windows(const QString &title) const
{
    // xdotool says "found nothing" with exit status 1, which is an answer here, not a fault.
    const std::optional<QString> out =
        xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                 QStringLiteral("--name"), exactTitlePattern(title)});
    QList<WindowId> found;
    if (!out) {
        return found;
    }
    for (const QString &line : out->split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const WindowId id = line.trimmed().toULongLong(&ok);
        if (ok) {
            found << id;
        }
    }
    return found;
}

XvfbDisplay::WindowId XvfbDisplay::waitForWindow(const QString &title, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    do {
        const QList<WindowId> found = windows(title);
        if (!found.isEmpty()) {
            return found.constFirst();
        }
        QThread::msleep(kPollIntervalMs);
    } while (!deadline.hasExpired());
    return 0;
}

bool XvfbDisplay::waitForWindowGone(WindowId window, const QString &title, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    do {
        if (!windows(title).contains(window)) {
            return true;
        }
        QThread::msleep(kPollIntervalMs);
    } while (!deadline.hasExpired());
    return false;
}

bool XvfbDisplay::pressKeys(WindowId window, const QString &keys, QString *error) const
{
    // With no window manager, focus moves only when asked; --sync waits until it has.
    return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"),
                    QString::number(window), QStringLiteral("key"), keys},
                   error)
        .has_value();
}

bool XvfbDisplay::screenshot(const QString &pngPath, WindowId window, QString *error) const
{
    const ProcessRun run =
        runProcess(QStringLiteral("import"),
                   {QStringLiteral("-silent"), QStringLiteral("-window"),
                    window == 0 ? QStringLiteral("root") : QString::number(window),
                    QStringLiteral("png:") + pngPath},
                   ProcessOptions()
                       .withEnvironment(environment(QProcessEnvironment::systemEnvironment()))
                       .withTimeout(kStartTimeoutMs)
                       .merged());
    if (run.succeeded() && QFile::exists(pngPath)) {
        return true;
    }
    if (error) {
        *error = QStringLiteral("import could not take a screenshot: ") + run.failure();
    }
    return false;
}

} // namespace freshgate::test
