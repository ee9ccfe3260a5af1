// The real freshgate as a session sees it: a process that a signal closes in the middle of a
// download, and a second copy started in the same folder while the first works.
#include "InstalledProduct.h"
#include "support/Files.h"
#include "support/NginxServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>
#include <QThread>
#include <csignal>
#include <memory>

using namespace freshgate::test;

namespace {

// How long a closed or refused freshgate may take to end: "at once" to a user.
constexpr int kPromptExitMs = 5000;
constexpr int kDownloadStartMs = 60000;

QString baseUrl(quint16 port)
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

// A line so slow that the cabinet is still coming when the test acts.
NginxServer::Options slowCabinet(const QString &serverFile, const char *rate)
{
    NginxServer::Options options;
    options.extraConfig = QStringLiteral("        location = /freshgate/%1 { limit_rate %2; }\n")
                              .arg(serverFile, QLatin1String(rate));
    return options;
}

qint64 bytesIn(const QString &folder)
{
    qint64 total = 0;
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        total += file.size();
    }
    return total;
}

} // namespace

class TestEndToEndProcess : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void closingDuringADownloadLeavesNothingHalfDone_data();
    void closingDuringADownloadLeavesNothingHalfDone();
    void secondUpdaterInTheSameFolderExitsAtOnce();
    void worksOnlyBesideAnOrvane4_data();
    void worksOnlyBesideAnOrvane4();

private:
    QString serveSlowly(const QString &component, const QString &serverFile, const char *rate,
                        qint64 bytes);
    // Waits until row's download has brought its first bytes into the work folder.
    QString waitForDownloadUnderway(FreshgateProcess &freshgate, int row);

    std::unique_ptr<InstalledProduct> m_product;
    std::unique_ptr<NginxServer> m_server;
};

void TestEndToEndProcess::init()
{
    m_product = std::make_unique<InstalledProduct>();
    QVERIFY2(m_product->setupError().isEmpty(), qPrintable(m_product->setupError()));
}

void TestEndToEndProcess::cleanup()
{
    if (QTest::currentTestFailed() && m_server) {
        qInfo("nginx error log:\n%s", qPrintable(m_server->errorLog()));
    }
    m_product.reset();
    m_server.reset();
}

QString TestEndToEndProcess::serveSlowly(const QString &component, const QString &serverFile,
                                         const char *rate, qint64 bytes)
{
    m_server = std::make_unique<NginxServer>(slowCabinet(serverFile, rate));
    if (!m_server->isRunning()) {
        return m_server->errorString();
    }
    QString why =
        publishOffer(*m_product, UpdateOffer{kNewest, {}, component, bytes}, m_server->root());
    if (!why.isEmpty()) {
        return why;
    }
    if (!m_product->writeSettings(baseUrl(m_server->port()))) {
        return QStringLiteral("cannot write the settings file");
    }
    return {};
}

QString TestEndToEndProcess::waitForDownloadUnderway(FreshgateProcess &freshgate, int row)
{
    const QString line = QStringLiteral("row %1: downloading, \"Downloading...\"").arg(row);
    if (!freshgate.waitForLog(line, kDownloadStartMs)) {
        return QStringLiteral("row %1 never started downloading; log:\n%2")
            .arg(row)
            .arg(freshgate.log());
    }
    const QString work = m_product->app().workFolder();
    const qint64 before = bytesIn(work);
    const QDeadlineTimer deadline(kDownloadStartMs);
    while (bytesIn(work) <= before) {
        if (deadline.hasExpired() || !freshgate.isRunning()) {
            return QStringLiteral("no bytes of row %1 arrived; log:\n%2")
                .arg(row)
                .arg(freshgate.log());
        }
        QThread::msleep(50);
    }
    return {};
}

void TestEndToEndProcess::closingDuringADownloadLeavesNothingHalfDone_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("component");
    QTest::addColumn<QString>("serverFile");
    QTest::addColumn<QString>("localArchive");

    QTest::newRow("SIGTERM while the resource file comes")
        << (SIGTERM) << 1 << QStringLiteral("resource") << QStringLiteral("ov4res.cab")
        << QStringLiteral("resfile.cab");
    QTest::newRow("SIGINT while the data files come, after the resource file")
        << (SIGINT) << 2 << QStringLiteral("data") << QStringLiteral("ov4data.cab")
        << QStringLiteral("datafile.cab");
}

void TestEndToEndProcess::closingDuringADownloadLeavesNothingHalfDone()
{
    QFETCH(int, signalNumber);
    QFETCH(int, row);
    QFETCH(QString, component);
    QFETCH(QString, serverFile);
    QFETCH(QString, localArchive);

    // 4 MiB at 64 KiB/s: a minute, far longer than the test waits.
    EXPECT_OK(serveSlowly(component, serverFile, "64k", 4 << 20));
    QMap<QString, QByteArray> expectedFiles = m_product->productFiles();
    QMap<QString, QString> expectedSettings = m_product->freshgateSettings();
    if (row == 2) {
        // The resource file came whole before the data download began, and stays.
        expectedFiles.insert(QStringLiteral("Orvane4.res"), resourceFileAt(kNewest.resource));
        expectedSettings.insert(QStringLiteral("Resource file version"), kNewest.resource);
    }

    FreshgateProcess &freshgate = m_product->launch();
    XvfbDisplay::WindowId window = 0;
    EXPECT_OK(m_product->waitForWindow(freshgate, &window));
    EXPECT_OK(waitForDownloadUnderway(freshgate, row));

    QElapsedTimer closing;
    closing.start();
    QCOMPARE(::kill(static_cast<pid_t>(freshgate.process().processId()), signalNumber), 0);
    QVERIFY2(freshgate.waitForExit(kPromptExitMs),
             qPrintable(QStringLiteral("still running %1 ms after the signal; log:\n%2")
                            .arg(kPromptExitMs)
                            .arg(freshgate.log())));
    qInfo("ended %lld ms after the signal", closing.elapsed());
    QCOMPARE(freshgate.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(freshgate.process().exitCode(), 0);

    QVERIFY(m_product->display().windows(QStringLiteral("Velmora Freshgate")).isEmpty());
    QCOMPARE(m_product->productFiles(), expectedFiles);
    QCOMPARE(m_product->freshgateSettings(), expectedSettings);
    // Nor does the cut-off download pass for a whole archive.
    QVERIFY(!m_product->app().exists(QStringLiteral("Freshgate/") + localArchive));
    QVERIFY2(!freshgate.log().contains(QLatin1String("started \"")), qPrintable(freshgate.log()));
    QCOMPARE(m_product->startedPrograms(), (QMap<QString, QString>{}));
}

void TestEndToEndProcess::secondUpdaterInTheSameFolderExitsAtOnce()
{
    // 1.5 MiB at 100 KiB/s: the first run is still downloading while the second comes and goes.
    EXPECT_OK(
        serveSlowly(QStringLiteral("resource"), QStringLiteral("ov4res.cab"), "100k", 3 << 19));

    FreshgateProcess &first = m_product->launch();
    XvfbDisplay::WindowId window = 0;
    EXPECT_OK(m_product->waitForWindow(first, &window));
    EXPECT_OK(waitForDownloadUnderway(first, 1));

    const QString work = m_product->app().workFolder();
    const QMap<QString, QByteArray> filesBefore = m_product->productFiles();
    const QByteArray settingsBefore = m_product->settingsBytes();
    const QStringList workBefore = filesIn(work);
    const QStringList requestsBefore = requestedPaths(*m_server);
    QVERIFY2(filesBefore.contains(QStringLiteral("Freshgate.lock")),
             "the running updater holds no lock file");

    QElapsedTimer running;
    running.start();
    FreshgateProcess &second = m_product->launch();
    QVERIFY2(second.waitForExit(kPromptExitMs),
             qPrintable(QStringLiteral("the second updater still runs; log:\n") + second.log()));
    qInfo("the second updater ended after %lld ms", running.elapsed());
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 0);

    // Only a proof while the first is still in the middle of its download.
    QVERIFY2(!first.log().contains(QLatin1String("row 1: \"Processing")),
             "the first run finished its download before the second updater ended");
    QVERIFY(first.isRunning());
    QVERIFY2(!second.log().contains(QLatin1String("window shown")), qPrintable(second.log()));
    QCOMPARE(m_product->display().windows(QStringLiteral("Velmora Freshgate")),
             QList<XvfbDisplay::WindowId>{window});
    QCOMPARE(m_product->productFiles(), filesBefore);
    QCOMPARE(m_product->settingsBytes(), settingsBefore);
    QCOMPARE(filesIn(work), workBefore);
    QCOMPARE(requestedPaths(*m_server), requestsBefore);

    // The first run never noticed.
    EXPECT_OK(m_product->waitForRunComplete(first));
    EXPECT_OK(m_product->pressFinish(first, window));
    const QString appFolder = QFileInfo(m_product->app().path()).canonicalFilePath();
    QCOMPARE(m_product->startedPrograms(),
             (QMap<QString, QString>{
                 {QStringLiteral("Orvane4.exe"), kNewest.exe + u'\n' + appFolder + u'\n'}}));
    QCOMPARE(m_product->freshgateSettings().value(QStringLiteral("Resource file version")),
             kNewest.resource);
    QCOMPARE(m_product->freshgateSettings().value(QStringLiteral("EXE file version")), kNewest.exe);
    QCOMPARE(m_product->app().read(QStringLiteral("Orvane4.res")),
             resourceFileAt(kNewest.resource));
    QVERIFY(!m_product->app().exists(QStringLiteral("Freshgate.lock")));
}

void TestEndToEndProcess::worksOnlyBesideAnOrvane4_data()
{
    QTest::addColumn<QStringList>("removed");
    QTest::addColumn<bool>("runs");
    QTest::newRow("a folder of other programs")
        << QStringList{QStringLiteral("Orvane4.exe"), QStringLiteral("Orvane4.res")} << false;
    // A product whose program went missing can still be repaired by a full package.
    QTest::newRow("the program gone, its resources there")
        << QStringList{QStringLiteral("Orvane4.exe")} << true;
}

// Started where no Orvane4 is installed, Freshgate writes nothing, asks no server, says so in
// one box that names the folder, and ends with status 1.
void TestEndToEndProcess::worksOnlyBesideAnOrvane4()
{
    QFETCH(QStringList, removed);
    QFETCH(bool, runs);
    m_server = std::make_unique<NginxServer>();
    QVERIFY2(m_server->isRunning(), qPrintable(m_server->errorString()));
    QVERIFY(m_product->writeSettings(baseUrl(m_server->port())));
    for (const QString &name : removed) {
        QVERIFY(QFile::remove(m_product->app().filePath(name)));
    }
    const QMap<QString, QByteArray> before = m_product->app().snapshot();

    FreshgateProcess &freshgate = m_product->launch();
    if (runs) {
        XvfbDisplay::WindowId window = 0;
        EXPECT_OK(m_product->waitForWindow(freshgate, &window));
        QVERIFY(freshgate.waitForLog(QStringLiteral("/freshgate/ov4arv.dat"), kDownloadStartMs));
        return;
    }
    EXPECT_OK(m_product->acceptMessageBox(freshgate));
    QVERIFY2(freshgate.waitForExit(kPromptExitMs), qPrintable(freshgate.log()));
    QCOMPARE(freshgate.process().exitCode(), 1);
    QCOMPARE(m_product->app().snapshot(), before);
    QCOMPARE(requestedPaths(*m_server), QStringList{});
    const QByteArray log = readFile(m_product->runLogPath());
    QVERIFY2(log.contains("no Orvane4 in " + m_product->app().path().toUtf8()), log.constData());
}

QTEST_GUILESS_MAIN(TestEndToEndProcess)
#include "tst_e2e_process.moc"
