#include "app/InstanceLock.h"

#include "base/FileProbe.h"
#include "update/RunLog.h"

#include <QDir>
#include <QFileInfo>

namespace freshgate {

InstanceLock::InstanceLock(const QString &appFolder, QString fallback)
    : m_appFolder(appFolder), m_lock(QDir(appFolder).filePath(QStringLiteral("Freshgate.lock"))),
      m_fallbackPath(std::move(fallback))
{
    // Only a dead owner makes a lock stale: an update may run for many minutes.
    m_lock.setStaleLockTime(0);
}

bool InstanceLock::acquire()
{
    const bool keptOut = keptOutByTest(m_appFolder);
    if (!keptOut && m_lock.tryLock(0)) {
        return true;
    }
    if (!keptOut && m_lock.error() == QLockFile::LockFailedError) {
        qCWarning(lcRun) << "another Freshgate is already updating this folder; leaving it alone";
        return false;
    }
    if (!m_fallbackPath.isEmpty() && QDir().mkpath(QFileInfo(m_fallbackPath).path())) {
        m_fallback = std::make_unique<QLockFile>(m_fallbackPath);
        m_fallback->setStaleLockTime(0);
        if (m_fallback->tryLock(0)) {
            qCInfo(lcRun).noquote() << "cannot lock the application folder; holding"
                                    << QDir::toNativeSeparators(m_fallbackPath) << "instead";
            return true;
        }
        if (m_fallback->error() == QLockFile::LockFailedError) {
            qCWarning(lcRun) << "another Freshgate of this user is already updating this folder; "
                                "leaving it alone";
            return false;
        }
    }
    qCWarning(lcRun) << "cannot lock the application folder; going on without a lock";
    return true;
}

} // namespace freshgate
