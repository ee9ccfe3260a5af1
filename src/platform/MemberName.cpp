#include "platform/MemberName.h"

namespace freshgate {

std::optional<QString> safeMemberPath(const QString &name, QString *why)
{
    (void)name;
    (void)why;
    return std::nullopt;
}

} // namespace freshgate
