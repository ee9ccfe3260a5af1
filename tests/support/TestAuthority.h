#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace freshgate::test {

// A certificate authority that lives for one test: an RSA key and a self-signed CA certificate
// made with openssl in a temporary folder. A test trusts it in the client it runs (never on this
// machine) and has NginxServer issue its certificate from it. Made by the constructor (check
// isValid()); gone with the object.
class TestAuthority {
public:
    // name goes into the certificate's subject, so two authorities of one test differ.
    explicit TestAuthority(const QString &name);
    TestAuthority(const TestAuthority &) = delete;
    TestAuthority &operator=(const TestAuthority &) = delete;

    [[nodiscard]] bool isValid() const { return m_error.isEmpty(); }
    // Why it could not be made, with openssl's own messages.
    [[nodiscard]] QString errorString() const { return m_error; }

    [[nodiscard]] QString certificatePath() const; // PEM
    [[nodiscard]] QString keyPath() const;         // PEM, unencrypted
    // The certificate as DER, the bytes a certificate store keeps; empty if it cannot be read.
    [[nodiscard]] QByteArray certificateDer() const;

private:
    QTemporaryDir m_dir;
    QString m_error;
};

} // namespace freshgate::test
