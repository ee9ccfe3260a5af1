// HttpTransfer against a real nginx on 127.0.0.1: text, files, redirects and HTTPS.

#include "Loopback.h"
#include "support/Files.h"
#include "support/NginxServer.h"
#include "support/ScriptedServer.h"
#include "transfer/HttpTransfer.h"

#include <QDir>
#include <QFile>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

using freshgate::HttpTransfer;
using freshgate::test::clearProxyEnvironment;
using freshgate::test::filesIn;
using freshgate::test::NginxServer;
using freshgate::test::randomBytes;
using freshgate::test::readFile;
using freshgate::test::ScriptedServer;
using freshgate::test::writeFile;

using freshgate::FailureKind;
using freshgate::Result;

namespace {

// What a fetch gave, as the checks compare it: the value, or empty and 0 on failure.
QString textOr(const Result<QString> &text)
{
    return text ? *text : QString();
}

qint64 bytesOr(const Result<qint64> &bytes)
{
    return bytes ? *bytes : 0;
}

// Trusts one certificate for the life of the object, on top of the system store.
class TrustedCertificate {
public:
    explicit TrustedCertificate(const QString &pemPath)
        : m_before(QSslConfiguration::defaultConfiguration())
    {
        QSslConfiguration config = m_before;
        config.addCaCertificates(pemPath);
        QSslConfiguration::setDefaultConfiguration(config);
    }
    ~TrustedCertificate() { QSslConfiguration::setDefaultConfiguration(m_before); }
    TrustedCertificate(const TrustedCertificate &) = delete;
    TrustedCertificate &operator=(const TrustedCertificate &) = delete;

private:
    QSslConfiguration m_before;
};

const QString kRedirects = QStringLiteral(
    "location = /r301 { return 301 /target.dat; }\n"
    "location = /r302 { return 302 /target.dat; }\n"
    "location = /r307 { return 307 /target.dat; }\n"
    "location = /r308 { return 308 /target.dat; }\n"
    "location = /absolute { return 302 $scheme://127.0.0.1:$server_port/target.dat; }\n"
    "location = /chain { return 302 /r301; }\n"
    "location = /loop { return 302 /loop; }\n");

} // namespace

class TransferNginxTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void text_data();
    void text();
    void binaryIdentical_data();
    void binaryIdentical();
    void replacesLongerFile();
    void failedDownloadKeepsOlderFile();
    void redirects_data();
    void redirects();
    void https_data();
    void https();
    void httpsToHttpRedirectRefused();

private:
    std::unique_ptr<NginxServer> m_nginx;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TransferNginxTest::initTestCase()
{
    clearProxyEnvironment();
    m_nginx = std::make_unique<NginxServer>(NginxServer::Options().withConfig(kRedirects));
    QVERIFY2(m_nginx->isRunning(), qPrintable(m_nginx->errorString()));
    QVERIFY(writeFile(m_nginx->root() + QStringLiteral("/target.dat"), "redirected here\n"));
}

void TransferNginxTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TransferNginxTest::text_data()
{
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QString>("expected");
    QTest::newRow("manifest") << QByteArray("3\r\n2\r\n5\r\n1\r\n4\r\n")
                              << QStringLiteral("3\r\n2\r\n5\r\n1\r\n4\r\n");
    QTest::newRow("utf-8") << QByteArray("gr\xc3\xbc\xc3\x9f") << QStringLiteral("gr\u00fc\u00df");
    QTest::newRow("utf-8 with byte-order mark") << QByteArray("\xef\xbb\xbf"
                                                              "7")
                                                << QStringLiteral("7");
    QTest::newRow("not utf-8, read as latin-1")
        << QByteArray("caf\xe9") << QStringLiteral("caf\u00e9");
}

void TransferNginxTest::text()
{
    QFETCH(QByteArray, served);
    QFETCH(QString, expected);
    QVERIFY(writeFile(m_nginx->root() + QStringLiteral("/ov4arv.dat"), served));

    HttpTransfer transfer;
    const Result<QString> text = transfer.getUrlData(m_nginx->url(QStringLiteral("/ov4arv.dat")));
    QVERIFY2(text.ok(), qPrintable(text.message()));
    QCOMPARE(*text, expected);
}

void TransferNginxTest::binaryIdentical_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("one byte") << qsizetype{1};
    QTest::newRow("64 KiB + 3") << static_cast<qsizetype>(64 * 1024 + 3);
    QTest::newRow("6 MiB + 7") << static_cast<qsizetype>(6 * 1024 * 1024 + 7);
}

void TransferNginxTest::binaryIdentical()
{
    QFETCH(qsizetype, size);
    const QByteArray served = randomBytes(size);
    QVERIFY(writeFile(m_nginx->root() + QStringLiteral("/ov4data.cab"), served));
    const QString target = m_dir->filePath(QStringLiteral("ov4data.cab"));

    HttpTransfer transfer;
    QCOMPARE(bytesOr(transfer.getBinaryData(m_nginx->url(QStringLiteral("/ov4data.cab")), target)),
             size);
    QVERIFY(readFile(target) == served);
    QCOMPARE(filesIn(m_dir->path()), QStringList{QStringLiteral("ov4data.cab")});
}

void TransferNginxTest::replacesLongerFile()
{
    const QByteArray served = randomBytes(1000);
    QVERIFY(writeFile(m_nginx->root() + QStringLiteral("/ov4help.cab"), served));
    const QString target = m_dir->filePath(QStringLiteral("ov4help.cab"));
    QVERIFY(writeFile(target, QByteArray(qsizetype{1024} * 1024, 'Z')));

    HttpTransfer transfer;
    QCOMPARE(bytesOr(transfer.getBinaryData(m_nginx->url(QStringLiteral("/ov4help.cab")), target)),
             1000);
    QCOMPARE(readFile(target), served);
    QCOMPARE(filesIn(m_dir->path()), QStringList{QStringLiteral("ov4help.cab")});
}

void TransferNginxTest::failedDownloadKeepsOlderFile()
{
    const QString target = m_dir->filePath(QStringLiteral("ov4exe.cab"));
    QVERIFY(writeFile(target, "older archive"));

    HttpTransfer transfer;
    const Result<qint64> bytes =
        transfer.getBinaryData(m_nginx->url(QStringLiteral("/missing.cab")), target);
    QVERIFY(!bytes.ok());
    QCOMPARE(bytes.kind(), FailureKind::HttpStatus);
    QCOMPARE(bytes.failure().httpStatus, 404);
    QCOMPARE(readFile(target), QByteArray("older archive"));
    QCOMPARE(filesIn(m_dir->path()), QStringList{QStringLiteral("ov4exe.cab")});
}

void TransferNginxTest::redirects_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("ok");
    for (const char *path : {"/r301", "/r302", "/r307", "/r308", "/absolute", "/chain"}) {
        QTest::newRow(path) << QString::fromLatin1(path) << true;
    }
    QTest::newRow("endless loop") << QStringLiteral("/loop") << false;
}

void TransferNginxTest::redirects()
{
    QFETCH(QString, path);
    QFETCH(bool, ok);

    HttpTransfer transfer;
    const QString target = m_dir->filePath(QStringLiteral("target.dat"));
    const qint64 bytes = bytesOr(transfer.getBinaryData(m_nginx->url(path), target));
    QCOMPARE(bytes, ok ? 16 : 0);
    QCOMPARE(readFile(target), ok ? QByteArray("redirected here\n") : QByteArray());
    QCOMPARE(textOr(transfer.getUrlData(m_nginx->url(path))),
             ok ? QStringLiteral("redirected here\n") : QString());
}

void TransferNginxTest::https_data()
{
    QTest::addColumn<bool>("trusted");
    QTest::newRow("certificate not trusted") << false;
    QTest::newRow("certificate trusted") << true;
}

void TransferNginxTest::https()
{
    QFETCH(bool, trusted);
    NginxServer tls(NginxServer::Options().withTls());
    QVERIFY2(tls.isRunning(), qPrintable(tls.errorString()));
    const QByteArray served = randomBytes(qsizetype{300} * 1024);
    QVERIFY(writeFile(tls.root() + QStringLiteral("/ov4res.cab"), served));
    QVERIFY(writeFile(tls.root() + QStringLiteral("/ov4arv.dat"), "9\r\n"));
    std::optional<TrustedCertificate> trust;
    if (trusted) {
        trust.emplace(tls.certificatePath());
    }

    HttpTransfer transfer;
    const QString target = m_dir->filePath(QStringLiteral("ov4res.cab"));
    const Result<QString> text = transfer.getUrlData(tls.url(QStringLiteral("/ov4arv.dat")));
    QCOMPARE(textOr(text), trusted ? QStringLiteral("9\r\n") : QString());
    if (!trusted) {
        QVERIFY2(text.message().contains(QStringLiteral("certificate"), Qt::CaseInsensitive),
                 qPrintable(text.message()));
        QCOMPARE(text.kind(), FailureKind::Tls);
    }
    QCOMPARE(bytesOr(transfer.getBinaryData(tls.url(QStringLiteral("/ov4res.cab")), target)),
             trusted ? served.size() : 0);
    QCOMPARE(readFile(target) == served, trusted);
    QCOMPARE(filesIn(m_dir->path()).size(), trusted ? 1 : 0);
}

void TransferNginxTest::httpsToHttpRedirectRefused()
{
    ScriptedServer plain; // expects nothing: the downgrade must never be followed
    NginxServer tls(NginxServer::Options().withTls().withConfig(
        QStringLiteral("location = /ov4res.cab { return 302 %1; }\n")
            .arg(plain.url(QStringLiteral("/ov4res.cab")))));
    QVERIFY2(tls.isRunning(), qPrintable(tls.errorString()));
    TrustedCertificate trust(tls.certificatePath());

    HttpTransfer transfer;
    const QString target = m_dir->filePath(QStringLiteral("ov4res.cab"));
    QVERIFY(!transfer.getBinaryData(tls.url(QStringLiteral("/ov4res.cab")), target).ok());
    QVERIFY(filesIn(m_dir->path()).isEmpty());
    // nginx logs a request after answering it, so the line may come a moment late.
    QTRY_VERIFY(tls.accessLog().contains(QStringLiteral("GET /ov4res.cab")));
    QVERIFY(plain.requests().isEmpty());
}

QTEST_GUILESS_MAIN(TransferNginxTest)
#include "tst_transfer_nginx.moc"
