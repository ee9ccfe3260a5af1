#pragma once

#include <QString>
#include <QtGlobal>

namespace freshgate {

// Every run writes its log, so that a person can send the maker what happened: the same lines
// as the freshgate.* logging categories, at every level, whatever QT_LOGGING_RULES shows on
// standard error (which stays as it was: warnings, unless the rules ask for more). The log of
// the run before is kept beside it as previous-run.log. One run's log stops at maxBytes with a
// line that says so. A log that cannot be written never stops the run: it is said once on
// standard error and the run goes on without it.
//
// One at a time per process: it installs Qt's message handler and a category filter, and puts
// back the ones before when destroyed. Lines may come from any thread.
class LastRunLog {
public:
    static constexpr qint64 kMaxBytes = qint64{1024} * 1024;

    // Starts the log in folder (created when missing).
    explicit LastRunLog(const QString &folder, qint64 maxBytes = kMaxBytes);
    ~LastRunLog();
    LastRunLog(const LastRunLog &) = delete;
    LastRunLog &operator=(const LastRunLog &) = delete;

    // The per-user state folder the log lives in: $XDG_STATE_HOME/freshgate (by default
    // ~/.local/state/freshgate) on Linux, %LOCALAPPDATA%\Freshgate on Windows.
    [[nodiscard]] static QString defaultFolder();

    // last-run.log in the folder, whether or not it could be opened.
    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] bool isOpen() const;

private:
    QString m_path;
};

} // namespace freshgate
