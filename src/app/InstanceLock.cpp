#include "app/InstanceLock.h"

#include "update/RunLog.h"

#include <QDir>

namespace freshgate {

InstanceLock::InstanceLock(const QString &appFolder)
    : m_lock(QDir(appFolder).filePath(QStringLiteral("Freshgate.lock")))
{
    // Only a dead owner makes a lock stale: an update may run for many minutes.
    m_lock.setStaleLockTime(0);
}

bool InstanceLock::acquire()
{
    if (m_lock.tryLock(0)) {
        return true;
    }
    if (m_lock.error() == QLockFile::LockFailedError) {
        qCWarning(lcRun) << "another Freshgate is already updating this folder; leaving it alone";
        return false;
    }
    qCWarning(lcRun) << "cannot lock the application folder; going on without a lock";
    return true;
}

} // namespace freshgate
