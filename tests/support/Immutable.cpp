#include "support/Immutable.h"

#include <QProcess>
#include <utility>

namespace freshgate::test {

namespace {

bool chattr(const char *flag, const QString &path)
{
    QProcess process;
    process.start(QStringLiteral("chattr"), {QString::fromLatin1(flag), path});
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
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
