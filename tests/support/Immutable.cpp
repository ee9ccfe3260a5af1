#include "support/Immutable.h"

#include "support/Process.h"

#include <utility>

namespace freshgate::test {

namespace {

bool chattr(const char *flag, const QString &path)
{
    return runProcess(QStringLiteral("chattr"), {QString::fromLatin1(flag), path}).succeeded();
}

} // namespace

Immutable::Immutable(QString path) : m_path(std::move(path)), m_set(chattr("+i", m_path)) {}

Immutable::~Immutable()
{
    if (m_set) {
        chattr("-i", m_path);
    }
}

} // namespace freshgate::test
