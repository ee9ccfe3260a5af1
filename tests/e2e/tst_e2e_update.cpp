// The real freshgate in an application folder of its own, against a real update server, on a
// real (virtual) display, driven as a user drives it. Each case judges the outcome only by what
// the user and the product can see afterwards: files on disk, the settings file, and which
// program Finish started.
#include "InstalledProduct.h"
#include "support/CabBuilder.h"
#include "support/Files.h"
#include "support/NginxServer.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QTest>
#include <memory>

using namespace freshgate::test;

namespace {

const QString kFullThreshold = QStringLiteral("410");

QString baseUrl(quint16 port)
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

// A port nobody listens on: the kernel hands it out and it is closed again at once.
quint16 closedPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QMap<QString, QString> recorded(const Versions &v, const QString &server)
{
    QMap<QString, QString> keys{{QStringLiteral("Update server"), server}};
    const auto add = [&keys](const char *key, const QString &value) {
        if (!value.isEmpty()) {
            keys.insert(QLatin1String(key), value);
        }
    };
    add("Resource file version", v.resource);
    add("Data files version", v.data);
    add("Help file version", v.help);
    add("EXE file version", v.exe);
    return keys;
}

} // namespace

class TestEndToEndUpdate : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void finishStartsWhatTheRunBrought_data();
    void finishStartsWhatTheRunBrought();
    void failedContactLeavesTheProductAsItWas_data();
    void failedContactLeavesTheProductAsItWas();
    void brokenDataArchiveSparesTheOtherComponents_data();
    void brokenDataArchiveSparesTheOtherComponents();

private:
    // Serves offer from a fresh nginx and points the settings file at it.
    QString serve(const UpdateOffer &offer, const Versions &installed);
    // The product's files at these versions, as the application folder should hold them.
    QMap<QString, QByteArray> productAt(const Versions &files) const;
    void checkStarted(const QString &program, const QString &version);

    std::unique_ptr<InstalledProduct> m_product;
    std::unique_ptr<NginxServer> m_server;
};

void TestEndToEndUpdate::init()
{
    m_product = std::make_unique<InstalledProduct>();
    QVERIFY2(m_product->setupError().isEmpty(), qPrintable(m_product->setupError()));
}

void TestEndToEndUpdate::cleanup()
{
    if (QTest::currentTestFailed() && m_product && m_product->display().isRunning()) {
        // The screen as it was when the case failed, for whoever reads the CI log.
        const QString dir = QDir(qEnvironmentVariable("FRESHGATE_BUILD_DIR"))
                                .filePath(QStringLiteral("Testing/e2e"));
        QDir().mkpath(dir);
        QString name = QStringLiteral("%1-%2.png")
                           .arg(QLatin1String(QTest::currentTestFunction()),
                                QLatin1String(QTest::currentDataTag()));
        name.replace(QLatin1Char(' '), QLatin1Char('_'));
        if (m_product->display().screenshot(QDir(dir).filePath(name))) {
            qInfo("screen saved as %s", qPrintable(QDir(dir).filePath(name)));
        }
        if (m_server) {
            qInfo("nginx error log:\n%s", qPrintable(m_server->errorLog()));
        }
    }
    m_product.reset();
    m_server.reset();
}

QString TestEndToEndUpdate::serve(const UpdateOffer &offer, const Versions &installed)
{
    m_server = std::make_unique<NginxServer>();
    if (!m_server->isRunning()) {
        return m_server->errorString();
    }
    QString why = publishOffer(*m_product, offer, m_server->root());
    if (!why.isEmpty()) {
        return why;
    }
    if (!m_product->writeSettings(baseUrl(m_server->port()), installed)) {
        return QStringLiteral("cannot write the settings file");
    }
    return {};
}

QMap<QString, QByteArray> TestEndToEndUpdate::productAt(const Versions &files) const
{
    QMap<QString, QByteArray> expected{
        {QStringLiteral("Orvane4.res"), resourceFileAt(files.resource)},
        {QStringLiteral("Orvane4.chm"), helpFileAt(files.help)},
        {QStringLiteral("Orvane4.exe"),
         m_product->programScript(QStringLiteral("Orvane4.exe"), files.exe)},
        {QStringLiteral("freshgate"), m_product->app().read(QStringLiteral("freshgate"))},
    };
    const QMap<QString, QByteArray> data = dataFilesAt(files.data);
    for (auto it = data.cbegin(); it != data.cend(); ++it) {
        expected.insert(QStringLiteral("Data/") + it.key(), it.value());
    }
    return expected;
}

void TestEndToEndUpdate::checkStarted(const QString &program, const QString &version)
{
    const QString appFolder = QFileInfo(m_product->app().path()).canonicalFilePath();
    const QMap<QString, QString> expected{{program, version + u'\n' + appFolder + u'\n'}};
    QCOMPARE(m_product->startedPrograms(), expected);
}

void TestEndToEndUpdate::finishStartsWhatTheRunBrought_data()
{
    QTest::addColumn<Versions>("installed");
    QTest::addColumn<QString>("fullThreshold");
    QTest::addColumn<QStringList>("fetched");
    QTest::addColumn<Versions>("filesAfter");
    QTest::addColumn<QString>("started");

    const QString manifest = QStringLiteral("/freshgate/ov4arv.dat");
    const QString res = QStringLiteral("/freshgate/ov4res.cab");
    const QString data = QStringLiteral("/freshgate/ov4data.cab");
    const QString help = QStringLiteral("/freshgate/ov4help.cab");
    const QString patch = QStringLiteral("/freshgate/ov4exe.cab");
    const QString full = QStringLiteral("/freshgate/ov4fexe.cab");
    const Versions upToDateBut = {kNewest.resource, kNewest.data, kNewest.help, {}};
    const auto installedExe = [&upToDateBut](const char *exe) {
        Versions v = upToDateBut;
        v.exe = QLatin1String(exe);
        return v;
    };
    const Versions untouchedBut415 = {QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("1"),
                                      QStringLiteral("415")};
    const Versions untouched = {QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("1"),
                                QStringLiteral("400")};

    QTest::newRow("fresh product takes all four, the EXE as a patch")
        << Versions{} << QString() << QStringList{manifest, res, data, help, patch} << kNewest
        << QStringLiteral("Orvane4.exe");
    QTest::newRow("fresh product below the threshold takes the full package")
        << Versions{} << kFullThreshold << QStringList{manifest, res, data, help, full}
        << Versions{kNewest.resource, kNewest.data, kNewest.help, QStringLiteral("400")}
        << QStringLiteral("setup.exe");
    QTest::newRow("EXE above the threshold takes the patch")
        << installedExe("412") << kFullThreshold << QStringList{manifest, patch} << untouchedBut415
        << QStringLiteral("Orvane4.exe");
    QTest::newRow("EXE at the threshold takes the full package")
        << installedExe("410") << kFullThreshold << QStringList{manifest, full} << untouched
        << QStringLiteral("setup.exe");
}

void TestEndToEndUpdate::finishStartsWhatTheRunBrought()
{
    QFETCH(Versions, installed);
    QFETCH(QString, fullThreshold);
    QFETCH(QStringList, fetched);
    QFETCH(Versions, filesAfter);
    QFETCH(QString, started);

    EXPECT_OK(serve(UpdateOffer{kNewest, fullThreshold, {}, 0}, installed));

    FreshgateProcess &freshgate = m_product->launch();
    XvfbDisplay::WindowId window = 0;
    EXPECT_OK(m_product->waitForWindow(freshgate, &window));
    EXPECT_OK(m_product->waitForRunComplete(freshgate));
    EXPECT_OK(m_product->pressFinish(freshgate, window));

    checkStarted(started, kNewest.exe);
    QCOMPARE(m_product->freshgateSettings(), recorded(kNewest, baseUrl(m_server->port())));
    QCOMPARE(m_product->productFiles(), productAt(filesAfter));
    QCOMPARE(requestedPaths(*m_server), fetched);

    const bool fullPackage = started == QLatin1String("setup.exe");
    QCOMPARE(m_product->app().read(QStringLiteral("Freshgate/setup.exe")),
             fullPackage ? m_product->programScript(QStringLiteral("setup.exe"), kNewest.exe)
                         : QByteArray());
    QCOMPARE(m_product->app().exists(QStringLiteral("Freshgate/Orvane4.pkg")), fullPackage);
}

void TestEndToEndUpdate::failedContactLeavesTheProductAsItWas_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::newRow("nothing listens on the port") << false;
    QTest::newRow("the server has no update set") << true;
}

void TestEndToEndUpdate::failedContactLeavesTheProductAsItWas()
{
    QFETCH(bool, serverUp);

    quint16 port = 0;
    if (serverUp) {
        m_server = std::make_unique<NginxServer>();
        QVERIFY2(m_server->isRunning(), qPrintable(m_server->errorString()));
        port = m_server->port();
    } else {
        port = closedPort();
        QVERIFY(port != 0);
    }
    QVERIFY(m_product->writeSettings(baseUrl(port)));
    const QByteArray settingsBefore = m_product->settingsBytes();
    const QMap<QString, QByteArray> before = m_product->app().snapshot();

    FreshgateProcess &freshgate = m_product->launch();
    XvfbDisplay::WindowId window = 0;
    EXPECT_OK(m_product->waitForWindow(freshgate, &window));
    EXPECT_OK(m_product->acceptMessageBox(freshgate));
    EXPECT_OK(m_product->pressFinish(freshgate, window));

    checkStarted(QStringLiteral("Orvane4.exe"), QStringLiteral("400"));
    QCOMPARE(m_product->settingsBytes(), settingsBefore);
    QCOMPARE(m_product->app().snapshot(), before);
    if (serverUp) {
        QCOMPARE(requestedPaths(*m_server), QStringList{QStringLiteral("/freshgate/ov4arv.dat")});
    }
}

void TestEndToEndUpdate::brokenDataArchiveSparesTheOtherComponents_data()
{
    QTest::addColumn<bool>("cutShort");
    QTest::newRow("bytes changed in the middle") << false;
    QTest::newRow("cut short") << true;
}

void TestEndToEndUpdate::brokenDataArchiveSparesTheOtherComponents()
{
    QFETCH(bool, cutShort);

    EXPECT_OK(serve(UpdateOffer{kNewest, {}, {}, 0}, {}));
    const QString cabinet =
        QDir(m_server->root()).filePath(QStringLiteral("freshgate/ov4data.cab"));
    const qint64 size = QFileInfo(cabinet).size();
    QVERIFY(cutShort ? truncateFile(cabinet, size / 2) : corruptBytes(cabinet, 8));

    // Whatever the product adds to the command line, the update runs.
    FreshgateProcess &freshgate = m_product->launch({}, {QStringLiteral("/auto")});
    XvfbDisplay::WindowId window = 0;
    EXPECT_OK(m_product->waitForWindow(freshgate, &window));
    // The end names the component that failed.
    EXPECT_OK(m_product->acceptMessageBox(freshgate));
    EXPECT_OK(m_product->waitForRunComplete(freshgate));
    EXPECT_OK(m_product->pressFinish(freshgate, window));

    checkStarted(QStringLiteral("Orvane4.exe"), kNewest.exe);
    const Versions allButData{kNewest.resource, {}, kNewest.help, kNewest.exe};
    QCOMPARE(m_product->freshgateSettings(), recorded(allButData, baseUrl(m_server->port())));
    QCOMPARE(m_product->productFiles(),
             productAt({kNewest.resource, QStringLiteral("1"), kNewest.help, kNewest.exe}));

    // The run's own record, for whoever the user sends it to: which Freshgate, on what, from
    // where; every transfer with its URL, status and bytes; the failure with its technical line.
    const QString log = QString::fromUtf8(readFile(m_product->runLogPath()));
    const QString server = baseUrl(m_server->port());
    for (const QString &line :
         {QStringLiteral("Freshgate " FRESHGATE_VERSION ", started "),
          QStringLiteral("product folder: ") + m_product->app().path(),
          QStringLiteral("update server: ") + server, QStringLiteral("arguments ignored: /auto"),
          QStringLiteral("GET %1/freshgate/ov4arv.dat -> 200").arg(server),
          QStringLiteral("GET %1/freshgate/ov4data.cab -> 200, %2 bytes")
              .arg(server)
              .arg(cutShort ? size / 2 : size),
          QStringLiteral("DataCore failed: installing DataCore: ")}) {
        QVERIFY2(log.contains(line), qPrintable(line + QStringLiteral(" is not in:\n") + log));
    }
}

QTEST_GUILESS_MAIN(TestEndToEndUpdate)
#include "tst_e2e_update.moc"
