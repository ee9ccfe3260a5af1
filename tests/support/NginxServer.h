#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace freshgate::test {

// A real nginx on a free 127.0.0.1 port, serving a temporary document root. Every file it writes
// (configuration, logs, pid, temp paths, TLS key) lives in its own temporary folder, so it runs
// as root or as any user. Started by the constructor (check isRunning()); stopped, and waited
// for, by the destructor. Used from one thread.
class NginxServer {
public:
    struct Options {
        bool tls = false;
        // With tls: the authority (PEM certificate and key, as TestAuthority makes them) that
        // issues the server's certificate; when empty the certificate is self-signed.
        QString issuerCertificate;
        QString issuerKey;
        // Directives added inside the server block, e.g. "location = /old { return 302 /new; }".
        QString extraConfig;

        // Set with the chained calls: Options().withTls().withConfig(...).
        Options &withTls()
        {
            tls = true;
            return *this;
        }
        Options &withIssuer(const QString &certificate, const QString &key)
        {
            issuerCertificate = certificate;
            issuerKey = key;
            return *this;
        }
        Options &withConfig(const QString &directives)
        {
            extraConfig = directives;
            return *this;
        }
    };

    NginxServer();
    explicit NginxServer(Options options);
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    bool isRunning() const;
    // Why it is not running, with nginx's own messages.
    QString errorString() const { return m_error; }

    quint16 port() const { return m_port; }
    // The document root: an empty folder the test fills.
    QString root() const;
    // "http://127.0.0.1:PORT/path", or https when TLS is on.
    QString url(const QString &path) const;
    // The certificate (PEM) for 127.0.0.1 when TLS is on; a test trusts it, or its issuer, or not.
    QString certificatePath() const;
    QString accessLog() const;
    QString errorLog() const;

private:
    bool start();
    bool makeCertificate();
    bool writeConfig() const;
    QString path(const QString &name) const { return m_dir.filePath(name); }

    Options m_options;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace freshgate::test
