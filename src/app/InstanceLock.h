#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

namespace freshgate {

// Keeps a second updater out of an application folder while one works in it.
// The lock file lives beside the product, not in the work folder, which every
// run empties. A lock left by a process that died is taken over.
class InstanceLock {
public:
    // fallback: a lock file of the user's own, taken where the folder cannot hold one (the user
    // may not write it), so that the same user cannot run two updaters on it at once.
    explicit InstanceLock(const QString &appFolder, QString fallback = {});

    // True when this process may go on: it holds the lock, or the folder cannot
    // hold a lock file at all (then nothing else could write there either) and the fallback
    // lock, when there is one, is this process's.
    // False when another updater holds either; this process must then touch nothing.
    [[nodiscard]] bool acquire();

private:
    QString m_appFolder;
    QLockFile m_lock;
    QString m_fallbackPath;
    std::unique_ptr<QLockFile> m_fallback;
};

} // namespace freshgate
