#pragma once

class QWidget;

namespace freshgate {

// What the process needs before and around its one window, apart from the update.

// On Windows a GUI program has no console: output sent to a file or pipe goes there, started from
// a console it goes to that console, else Qt hands the log to OutputDebugString. Elsewhere
// nothing to do.
void useParentConsole();

// Whether there is a display to show the window on (always on Windows).
[[nodiscard]] bool hasDisplay();

// Holds Qt's messages while QApplication starts, so that a display that is named but cannot be
// opened ends the process with one line and status 1 instead of Qt's abort; endStartup() passes
// the held messages on to the handler that was installed before.
void beginStartup();
void endStartup();

// A terminal's Ctrl+C or a session's SIGTERM closes the window as its close box would, so a
// component is never left half installed. Nothing to do on Windows.
void closeOnTerminationSignals(QWidget &window);

} // namespace freshgate
