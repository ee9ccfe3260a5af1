#pragma once

#include <QLockFile>
#include <QString>

namespace freshgate {

// Keeps a second updater out of an application folder while one works in it.
// The lock file lives beside the product, not in the work folder, which every
// run empties. A lock left by a process that died is taken over.
class InstanceLock {
public:
    explicit InstanceLock(const QString &appFolder);

    // True when this process may go on: it holds the lock, or the folder cannot
    // hold a lock file at all (then nothing else could write there either).
    // False when another updater holds it; this process must then touch nothing.
    [[nodiscard]] bool acquire();

private:
    QLockFile m_lock;
};

} // namespace freshgate
