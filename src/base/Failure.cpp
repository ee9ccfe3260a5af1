#include "base/Failure.h"

#include <QDir>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace freshgate {

Failure Failure::within(const QString &context) const &
{
    Failure copy = *this;
    return std::move(copy).within(context);
}

Failure Failure::within(const QString &context) &&
{
    message = message.isEmpty() ? context : context + QStringLiteral(": ") + message;
    return std::move(*this);
}

FailureKind kindOf(const std::error_code &ec)
{
#ifdef Q_OS_WIN
    // Windows codes reach us as system errors; libstdc++ for mingw does not map them to errc.
    if (ec.category() == std::system_category()) {
        switch (ec.value()) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return FailureKind::NoSpace;
        case ERROR_WRITE_PROTECT:
            return FailureKind::ReadOnly;
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return FailureKind::Denied;
        default:
            break;
        }
    }
#endif
    const std::error_condition condition = ec.default_error_condition();
    if (condition == std::errc::no_space_on_device || condition == std::errc::file_too_large) {
        return FailureKind::NoSpace;
    }
    if (condition == std::errc::read_only_file_system) {
        return FailureKind::ReadOnly;
    }
    if (condition == std::errc::permission_denied ||
        condition == std::errc::operation_not_permitted) {
        return FailureKind::Denied;
    }
    return FailureKind::Disk;
}

QString errorText(const std::error_code &ec)
{
    return QString::fromLocal8Bit(ec.message()).trimmed();
}

Failure fileFailure(const std::error_code &ec, const QString &path, const QString &doing)
{
    return fileFailure(kindOf(ec), path, doing, errorText(ec));
}

Failure fileFailure(FailureKind kind, const QString &path, const QString &doing,
                    const QString &reason)
{
    Failure why = failure(kind, reason.isEmpty() ? doing : doing + QStringLiteral(": ") + reason);
    why.path = QDir::toNativeSeparators(path);
    return why;
}

} // namespace freshgate
