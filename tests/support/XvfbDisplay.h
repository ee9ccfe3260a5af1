#pragma once

#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>

namespace freshgate::test {

// A private X display on which a test shows a real program's windows and acts as a user does,
// from outside the program: xdotool finds windows by title and types keys, ImageMagick's
// import takes screenshots.
//
// Xvfb picks a free display number itself (-displayfd), so tests running side by side never
// share one, and listens only on its local socket (-nolisten tcp). There is no window manager:
// nothing moves focus between windows unless pressKeys() gives it. Started by the constructor
// (check isRunning()); stopped, and waited for, by the destructor. Used from one thread.
class XvfbDisplay {
public:
    using WindowId = quint64;

    XvfbDisplay();
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay &) = delete;
    XvfbDisplay &operator=(const XvfbDisplay &) = delete;

    [[nodiscard]] bool isRunning() const;
    // Why the display is not running, with Xvfb's own messages.
    [[nodiscard]] QString errorString() const { return m_error; }

    // ":N"
    [[nodiscard]] QString name() const { return m_name; }

    // base with DISPLAY pointing here and Qt told to use it (tests default to offscreen).
    [[nodiscard]] QProcessEnvironment environment(const QProcessEnvironment &base) const;

    // Runs xdotool on this display, waiting at most timeoutMs; its standard output when it
    // exits with 0, else nothing and the reason in *error.
    std::optional<QString> xdotool(const QStringList &arguments, QString *error = nullptr,
                                   int timeoutMs = 15000) const;

    // The mapped top-level windows whose whole title is title.
    [[nodiscard]] QList<WindowId> windows(const QString &title) const;
    // Polls until a window titled title is mapped; its id, or 0 after timeoutMs.
    [[nodiscard]] WindowId waitForWindow(const QString &title, int timeoutMs) const;
    // Polls until window is no longer mapped (closed or hidden); false after timeoutMs.
    [[nodiscard]] bool waitForWindowGone(WindowId window, const QString &title,
                                         int timeoutMs) const;

    // Gives window the keyboard focus, as a click on it would, then types keys in xdotool's
    // notation ("alt+f", "Return").
    bool pressKeys(WindowId window, const QString &keys, QString *error = nullptr) const;

    // A PNG of window, or of the whole screen when window is 0.
    bool screenshot(const QString &pngPath, WindowId window = 0, QString *error = nullptr) const;

private:
    bool start();
    [[nodiscard]] QString log() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_name;
    QString m_error;
};

// title as a whole-title pattern for xdotool's search (POSIX extended expression).
[[nodiscard]] QString exactTitlePattern(const QString &title);

} // namespace freshgate::test
