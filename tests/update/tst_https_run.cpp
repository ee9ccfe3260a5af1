#include "settings/SettingsStore.h"
#include "support/AppFolder.h"
#include "support/CabBuilder.h"
#include "support/Files.h"
#include "support/NginxServer.h"
#include "support/RecordingView.h"
#include "transfer/HttpTransfer.h"
#include "update/UpdateRun.h"
#include "update/UpdateView.h"

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>

using namespace freshgate;
using namespace freshgate::test;

// An https update server works with a certificate the system trusts, and an
// untrusted one is a server that could not be reached; nothing turns that off.
class TestHttpsRun : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_server.isRunning(), qPrintable(m_server.errorString()));
        const QString folder = QDir(m_server.root()).filePath(QStringLiteral("freshgate"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("ov4arv.dat")), "2*1*1*400*0"));
        QVERIFY(writeCabinet(QDir(folder).filePath(QStringLiteral("ov4res.cab")),
                             {{"Orvane4.res", "resources over https", 0}}));
        m_base = m_server.url(QString());
        m_base.chop(1);
        QVERIFY(m_base.startsWith(QLatin1String("https://")));
    }

    void untrustedCertificateFails()
    {
        AppFolder app;
        const RecordingView view = run(app);
        QVERIFY(view.warned());
        QVERIFY(!app.exists(QStringLiteral("Orvane4.res")));
    }

    void trustedCertificateWorks()
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(QSslCertificate::fromPath(m_server.certificatePath()));
        QSslConfiguration::setDefaultConfiguration(tls);

        AppFolder app;
        const RecordingView view = run(app);
        QVERIFY(view.finished());
        QVERIFY(!view.warned());
        QCOMPARE(app.read(QStringLiteral("Orvane4.res")), QByteArray("resources over https"));
    }

private:
    RecordingView run(AppFolder &app)
    {
        RecordingView view;
        SettingsStore settings(m_home.iniPath());
        HttpTransfer transfer;
        transfer.setRequestTimeout(10);
        UpdateRun updateRun(view, settings, transfer, app.path(), m_base);
        updateRun.start();
        return view;
    }

    SettingsFile m_home;
    NginxServer m_server{NginxServer::Options().withTls()};
    QString m_base;
};

QTEST_GUILESS_MAIN(TestHttpsRun)
#include "tst_https_run.moc"
