#include "support/TestAuthority.h"

#include "support/Files.h"
#include "support/Process.h"

namespace freshgate::test {

TestAuthority::TestAuthority(const QString &name)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return;
    }
    const ProcessRun openssl = runProcess(
        QStringLiteral("openssl"),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
         QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
         QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=") + name,
         QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
         QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign"),
         QStringLiteral("-keyout"), keyPath(), QStringLiteral("-out"), certificatePath()},
        ProcessOptions().merged());
    if (!openssl.succeeded()) {
        m_error = QStringLiteral("openssl could not make an authority: ") + openssl.failure();
    }
}

QString TestAuthority::certificatePath() const
{
    return m_dir.filePath(QStringLiteral("authority.pem"));
}

QString TestAuthority::keyPath() const
{
    return m_dir.filePath(QStringLiteral("authority.key"));
}

QByteArray TestAuthority::certificateDer() const
{
    const QByteArray pem = readFile(certificatePath());
    const QByteArray begin = "-----BEGIN CERTIFICATE-----";
    const qsizetype start = pem.indexOf(begin);
    const qsizetype end = pem.indexOf("-----END CERTIFICATE-----");
    if (start < 0 || end < start) {
        return {};
    }
    return QByteArray::fromBase64(pem.mid(start + begin.size(), end - start - begin.size()));
}

} // namespace freshgate::test
