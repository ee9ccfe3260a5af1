#include "support/NginxServer.h"

#include "support/Files.h"
#include "support/Process.h"
#include "support/ProcessStop.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <utility>

namespace freshgate::test {

namespace {

QString readText(const QString &path)
{
    return QString::fromUtf8(readFile(path));
}

constexpr int kStartAttempts = 5;
constexpr int kStartTimeoutMs = 10000;

// A port the kernel just handed out; nginx may still lose it to someone else, hence the retries.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        return 0;
    }
    return probe.serverPort();
}

QString nginxProgram()
{
    QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (found.isEmpty()) {
        found = QStandardPaths::findExecutable(
            QStringLiteral("nginx"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    }
    return found;
}

QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

} // namespace

NginxServer::NginxServer() : NginxServer(Options{}) {}

NginxServer::NginxServer(Options options) : m_options(std::move(options))
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder: ") + m_dir.errorString();
        return;
    }
    // nginx may read the root as an unprivileged user; its files must stay readable.
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                            QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                            QFileDevice::ExeGroup);
    const QDir dir(m_dir.path());
    for (const char *sub : {"root", "logs", "tmp"}) {
        dir.mkpath(QLatin1String(sub));
    }
    if (m_options.tls && !makeCertificate()) {
        return;
    }
    start();
}

NginxServer::~NginxServer()
{
    stopProcess(m_process, 5000);
}

bool NginxServer::isRunning() const
{
    return m_process.state() == QProcess::Running && m_port != 0;
}

QString NginxServer::root() const
{
    return path(QStringLiteral("root"));
}

QString NginxServer::url(const QString &urlPath) const
{
    const QString tail = urlPath.startsWith(QLatin1Char('/')) ? urlPath.mid(1) : urlPath;
    return QStringLiteral("%1://127.0.0.1:%2/%3")
        .arg(m_options.tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port)
        .arg(tail);
}

QString NginxServer::certificatePath() const
{
    return m_options.tls ? path(QStringLiteral("cert.pem")) : QString();
}

QString NginxServer::accessLog() const
{
    return readText(path(QStringLiteral("logs/access.log")));
}

QString NginxServer::errorLog() const
{
    return readText(path(QStringLiteral("logs/error.log")));
}

bool NginxServer::makeCertificate()
{
    const bool issued = !m_options.issuerCertificate.isEmpty();
    // Issued, it is a request first; self-signed, the certificate at once.
    QStringList request{QStringLiteral("req"),
                        issued ? QStringLiteral("-new") : QStringLiteral("-x509"),
                        QStringLiteral("-newkey"),
                        QStringLiteral("rsa:2048"),
                        QStringLiteral("-nodes"),
                        QStringLiteral("-subj"),
                        QStringLiteral("/CN=127.0.0.1"),
                        QStringLiteral("-addext"),
                        QStringLiteral("subjectAltName=IP:127.0.0.1"),
                        QStringLiteral("-keyout"),
                        path(QStringLiteral("key.pem")),
                        QStringLiteral("-out"),
                        path(issued ? QStringLiteral("request.pem") : QStringLiteral("cert.pem"))};
    if (!issued) {
        request << QStringLiteral("-days") << QStringLiteral("2");
    }
    ProcessRun openssl = runProcess(QStringLiteral("openssl"), request, ProcessOptions().merged());
    if (openssl.succeeded() && issued) {
        openssl =
            runProcess(QStringLiteral("openssl"),
                       {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                        path(QStringLiteral("request.pem")), QStringLiteral("-CA"),
                        m_options.issuerCertificate, QStringLiteral("-CAkey"), m_options.issuerKey,
                        QStringLiteral("-CAcreateserial"), QStringLiteral("-CAserial"),
                        path(QStringLiteral("serial")), QStringLiteral("-copy_extensions"),
                        QStringLiteral("copy"), QStringLiteral("-days"), QStringLiteral("2"),
                        QStringLiteral("-out"), path(QStringLiteral("cert.pem"))},
                       ProcessOptions().merged());
    }
    if (!openssl.succeeded()) {
        m_error = QStringLiteral("openssl could not make a certificate: ") + openssl.failure();
        return false;
    }
    return true;
}

bool NginxServer::writeConfig() const
{
    const QString tls = m_options.tls ? QStringLiteral("        ssl_certificate %1;\n"
                                                       "        ssl_certificate_key %2;\n")
                                            .arg(quoted(path(QStringLiteral("cert.pem"))),
                                                 quoted(path(QStringLiteral("key.pem"))))
                                      : QString();
    const QString config = QStringLiteral("daemon off;\n"
                                          "master_process off;\n"
                                          "worker_processes 1;\n"
                                          "pid %1;\n"
                                          "error_log %2 info;\n"
                                          "events { worker_connections 256; }\n"
                                          "http {\n"
                                          "    access_log %3;\n"
                                          "    client_body_temp_path %4;\n"
                                          "    proxy_temp_path %5;\n"
                                          "    fastcgi_temp_path %6;\n"
                                          "    uwsgi_temp_path %7;\n"
                                          "    scgi_temp_path %8;\n"
                                          "    types { text/plain txt dat; text/html html; }\n"
                                          "    default_type application/octet-stream;\n"
                                          "    sendfile on;\n"
                                          "    tcp_nopush on;\n"
                                          "    keepalive_timeout 65;\n"
                                          "    server {\n"
                                          "        listen 127.0.0.1:%9%10;\n"
                                          "        server_name localhost;\n"
                                          "        root %11;\n"
                                          "%12"
                                          "        location / { }\n"
                                          "%13\n"
                                          "    }\n"
                                          "}\n")
                               .arg(quoted(path(QStringLiteral("nginx.pid"))),
                                    quoted(path(QStringLiteral("logs/error.log"))),
                                    quoted(path(QStringLiteral("logs/access.log"))),
                                    quoted(path(QStringLiteral("tmp/body"))),
                                    quoted(path(QStringLiteral("tmp/proxy"))),
                                    quoted(path(QStringLiteral("tmp/fastcgi"))),
                                    quoted(path(QStringLiteral("tmp/uwsgi"))),
                                    quoted(path(QStringLiteral("tmp/scgi"))))
                               .arg(m_port)
                               .arg(m_options.tls ? QStringLiteral(" ssl") : QString(),
                                    quoted(root()), tls, m_options.extraConfig);
    return writeFile(path(QStringLiteral("nginx.conf")), config.toUtf8());
}

bool NginxServer::start()
{
    const QString program = nginxProgram();
    if (program.isEmpty()) {
        m_error = QStringLiteral("nginx is not installed");
        return false;
    }
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        m_port = freePort();
        if (m_port == 0 || !writeConfig()) {
            m_error = QStringLiteral("cannot prepare the nginx configuration");
            return false;
        }
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program, {QStringLiteral("-p"), m_dir.path() + QLatin1Char('/'),
                                  QStringLiteral("-e"), path(QStringLiteral("logs/error.log")),
                                  QStringLiteral("-c"), path(QStringLiteral("nginx.conf"))});
        if (!m_process.waitForStarted(kStartTimeoutMs)) {
            m_error = QStringLiteral("cannot start nginx: ") + m_process.errorString();
            m_port = 0;
            return false;
        }
        // nginx writes its pid file only once it holds its listening socket, so a connection
        // after that reaches nginx and not whoever else might have taken the port meanwhile.
        const QString pid = QString::number(m_process.processId());
        const QDeadlineTimer deadline(kStartTimeoutMs);
        while (m_process.state() == QProcess::Running && !deadline.hasExpired()) {
            if (readText(path(QStringLiteral("nginx.pid"))).trimmed() == pid) {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, m_port);
                if (probe.waitForConnected(200)) {
                    return true;
                }
            }
            m_process.waitForFinished(50);
        }
        m_error = QStringLiteral("nginx did not start: ") +
                  QString::fromLocal8Bit(m_process.readAll()) + errorLog();
        const bool portTaken = m_error.contains(QStringLiteral("Address already in use"));
        m_process.kill();
        m_process.waitForFinished(5000);
        m_port = 0;
        if (!portTaken) {
            return false;
        }
    }
    return false;
}

} // namespace freshgate::test
