#include "publish/PublishFailure.h"

#include <QFileDevice>
#include <QFileInfo>
#include <QStorageInfo>

namespace freshgate {

Failure refused(QString why)
{
    return failure(FailureKind::Usage, std::move(why));
}

Failure qtFileFailure(const QFileDevice &file, const QString &doing)
{
    FailureKind kind = FailureKind::Disk;
    if (file.error() == QFileDevice::PermissionsError) {
        kind = FailureKind::Denied;
    } else if (QStorageInfo(QFileInfo(file.fileName()).absolutePath()).isReadOnly()) {
        kind = FailureKind::ReadOnly;
    }
    return fileFailure(kind, file.fileName(), doing, file.errorString());
}

} // namespace freshgate
