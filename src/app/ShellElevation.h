#pragma once

#include "update/HandOver.h"

#include <memory>

class QWidget;

namespace freshgate {

// The shell's "runas" verb: Windows asks the user (the UAC prompt) and starts this same program
// elevated with the hand-over's arguments; runElevated() waits for it while the window stays
// live, and gives its exit status. GUI thread.
class ShellElevation : public ElevatedLauncher {
public:
    explicit ShellElevation(QWidget *owner) : m_owner(owner) {}
    [[nodiscard]] Result<int> runElevated(const QStringList &arguments) override;

private:
    QWidget *m_owner;
};

// The launcher this platform has: the shell's on Windows; none elsewhere, where there is no
// prompt to ask and a folder the user may not write fails as it always did.
[[nodiscard]] std::unique_ptr<ElevatedLauncher> platformElevation(QWidget *owner);

} // namespace freshgate
