// HttpTransfer against a scripted server: failed statuses, drops, stalls, limits, proxy, and the
// state notifications. Any request a test did not expect fails it (the server sees to that).

#include "Loopback.h"
#include "support/Files.h"
#include "support/ScriptedServer.h"
#include "transfer/HttpTransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

using freshgate::HttpTransfer;
using freshgate::test::clearProxyEnvironment;
using freshgate::test::filesIn;
using freshgate::test::patternBytes;
using freshgate::test::ScriptedResponse;
using freshgate::test::ScriptedServer;

namespace {

enum class Kind { Text, File };

} // namespace

Q_DECLARE_METATYPE(ScriptedResponse)
Q_DECLARE_METATYPE(Kind)

class TransferFaultsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { clearProxyEnvironment(); }
    void init();
    void cleanup();

    void failureLeavesNothing_data();
    void failureLeavesNothing();
    void stallTimesOut_data();
    void stallTimesOut();
    void zeroTimeoutWaitsUntilCancelled();
    void slowServerIsCutOff_data();
    void slowServerIsCutOff();
    void quitWhileWaitingFails();
    void emptyBody();
    void textLimit_data();
    void textLimit();
    void httpProxyHonoured();
    void notifications_data();
    void notifications();
    void secondFetchWhileBusyRefused();

private:
    // Runs one fetch of /item of the given kind; true when it succeeded.
    bool fetch(HttpTransfer &transfer, Kind kind);
    void expectItem(const ScriptedResponse &response);

    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_target;
    QString m_text;
    // Why the last fetch() failed; empty after a success.
    QString m_error;
};

void TransferFaultsTest::init()
{
    m_server = std::make_unique<ScriptedServer>();
    QVERIFY(m_server->isListening());
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_target = m_dir->filePath(QStringLiteral("ov4res.cab"));
    m_text.clear();
    m_error.clear();
}

void TransferFaultsTest::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

bool TransferFaultsTest::fetch(HttpTransfer &transfer, Kind kind)
{
    const QString url = m_server->url(QStringLiteral("/item"));
    if (kind == Kind::Text) {
        const freshgate::Result<QString> text = transfer.getUrlData(url);
        m_text = text ? *text : QString();
        m_error = text ? QString() : text.message();
        return text.ok();
    }
    const freshgate::Result<qint64> bytes = transfer.getBinaryData(url, m_target);
    m_error = bytes ? QString() : bytes.message();
    return bytes.ok();
}

void TransferFaultsTest::expectItem(const ScriptedResponse &response)
{
    freshgate::test::expectGet(*m_server, "/item", response);
}

void TransferFaultsTest::failureLeavesNothing_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<QString>("reason");

    const QByteArray page = "<html>not here</html>";
    const QByteArray body = patternBytes(qsizetype{48} * 1024);
    for (Kind kind : {Kind::Text, Kind::File}) {
        const char *k = kind == Kind::Text ? "text" : "file";
        QTest::addRow("%s 404", k) << kind << ScriptedResponse::withStatus(404, page) << "404";
        QTest::addRow("%s 500", k) << kind << ScriptedResponse::withStatus(500, page) << "500";
        QTest::addRow("%s 404 with a 4 MiB page", k)
            << kind << ScriptedResponse::withStatus(404, patternBytes(qsizetype{4} * 1024 * 1024))
            << "404";
        // Qt itself fails neither of these; only the 2xx rule does.
        QTest::addRow("%s 304", k) << kind << ScriptedResponse::withStatus(304) << "304";
        QTest::addRow("%s 302 without a location", k)
            << kind << ScriptedResponse::withStatus(302, page) << "302";
        QTest::addRow("%s dropped half way", k)
            << kind << ScriptedResponse::dropAfter(body, body.size() / 2) << "";
        QTest::addRow("%s endless body", k) << kind << ScriptedResponse::endless() << "limit";
        // Far beyond the default download limit, and the trickle would take years.
        QTest::addRow("%s 3 GiB announced", k)
            << kind << ScriptedResponse::trickle(3LL * 1024 * 1024 * 1024) << "limit";
    }
}

void TransferFaultsTest::failureLeavesNothing()
{
    QFETCH(Kind, kind);
    QFETCH(ScriptedResponse, response);
    QFETCH(QString, reason);
    ScriptedResponse answer = response;
    if (answer.mode == ScriptedResponse::Mode::DropAfter) {
        // The reset can reach Qt ahead of the bytes sent before it, and Qt then sends the GET
        // once more by itself: every such repeat gets the same cut answer.
        answer.forRange = QByteArray();
    }
    expectItem(answer);

    HttpTransfer transfer;
    // What one failed try leaves; trying again has tests of its own.
    transfer.setRetries(1, 0);
    transfer.setRequestTimeout(30);
    if (response.mode == ScriptedResponse::Mode::Endless) {
        transfer.setMaxDownloadBytes(qint64{2} * 1024 * 1024);
    }
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!fetch(transfer, kind));

    QVERIFY2(clock.elapsed() < 10000, "a failure must not wait for a time-out");
    QVERIFY(m_text.isEmpty());
    QVERIFY2(m_error.contains(reason), qPrintable(m_error));
    QVERIFY2(filesIn(m_dir->path()).isEmpty(), qPrintable(filesIn(m_dir->path()).join(u' ')));
    QVERIFY(m_server->wasRequested("/item"));
    QVERIFY(answer.forRange || m_server->unmetExpectations().isEmpty());
    QVERIFY(!transfer.isBusy());
}

void TransferFaultsTest::stallTimesOut_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<ScriptedResponse>("response");
    QTest::newRow("silent server, text") << Kind::Text << ScriptedResponse::stall();
    QTest::newRow("silent server, file") << Kind::File << ScriptedResponse::stall();
    QTest::newRow("headers then nothing, file")
        << Kind::File << ScriptedResponse::headersThenStall(1000);
}

void TransferFaultsTest::stallTimesOut()
{
    QFETCH(Kind, kind);
    QFETCH(ScriptedResponse, response);
    expectItem(response);

    HttpTransfer transfer;
    // What one failed try leaves; trying again has tests of its own.
    transfer.setRetries(1, 0);
    transfer.setRequestTimeout(1);
    // Only a time-out that never fires lets this cut the wait (and the test fail on the reason).
    QTimer::singleShot(10000, &transfer, &HttpTransfer::cancel);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!fetch(transfer, kind));
    const qint64 elapsed = clock.elapsed();

    QVERIFY2(elapsed >= 900 && elapsed < 10000, qPrintable(QString::number(elapsed)));
    QVERIFY2(m_error.contains(QStringLiteral("time-out")), qPrintable(m_error));
    QVERIFY(filesIn(m_dir->path()).isEmpty());
}

void TransferFaultsTest::zeroTimeoutWaitsUntilCancelled()
{
    m_server->expect("GET", "/item", ScriptedResponse::headersThenStall(1000));
    HttpTransfer transfer;
    transfer.setRequestTimeout(0);
    QTimer::singleShot(1500, &transfer, &HttpTransfer::cancel);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!fetch(transfer, Kind::File));

    QVERIFY(clock.elapsed() >= 1400);
    QCOMPARE(m_error,
             QStringLiteral("GET %1: cancelled").arg(m_server->url(QStringLiteral("/item"))));
    QVERIFY(filesIn(m_dir->path()).isEmpty());
}

void TransferFaultsTest::slowServerIsCutOff_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<int>("timeoutSeconds");
    QTest::addColumn<bool>("cutOff");

    // 16 bytes every 50 ms is 320 bytes/s: below a floor of 1 KiB/s, yet never idle.
    const ScriptedResponse slow = ScriptedResponse::paced(patternBytes(640), 16, 50);
    QTest::newRow("slow body") << slow << 10 << true;
    QTest::newRow("endless trickle")
        << ScriptedResponse::trickle(qint64{1024} * 1024) << 10 << true;
    QTest::newRow("slow body, no time-out") << slow << 0 << false;
    QTest::newRow("healthy server")
        << ScriptedResponse::paced(patternBytes(qsizetype{256} * 1024), qint64{16} * 1024, 20) << 10
        << false;
}

// A server that keeps a transfer alive with a trickle is cut off by the rate floor (a short
// window here, 30 s in use), which no time-out of its own would do; a time-out of 0 turns both
// off. A transfer cut off as too slow is tried again, like one that timed out.
void TransferFaultsTest::slowServerIsCutOff()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(int, timeoutSeconds);
    QFETCH(bool, cutOff);
    m_server->expect("GET", "/item", response);
    if (cutOff) {
        m_server->expect("GET", "/item", response);
    }

    HttpTransfer transfer;
    transfer.setRetries(2, 0);
    transfer.setRequestTimeout(timeoutSeconds);
    QTimer::singleShot(20000, &transfer, &HttpTransfer::cancel);
    const freshgate::Result<qint64> got = transfer.getBinaryData(
        m_server->url(QStringLiteral("/item")), m_target, 1 << 30, freshgate::RateFloor{400, 1024});

    QCOMPARE(got.ok(), !cutOff);
    QVERIFY(m_server->unmetExpectations().isEmpty());
    if (cutOff) {
        QCOMPARE(got.kind(), freshgate::FailureKind::TooSlow);
        QVERIFY2(got.message().contains(QStringLiteral("slower than 1024 bytes/s")),
                 qPrintable(got.message()));
        QVERIFY(filesIn(m_dir->path()).isEmpty());
    } else {
        QCOMPARE(*got, response.body.size());
        QCOMPARE(QFileInfo(m_target).size(), response.body.size());
    }
}

void TransferFaultsTest::quitWhileWaitingFails()
{
    m_server->expect("GET", "/item", ScriptedResponse::stall());
    HttpTransfer transfer;
    bool ok = true;
    bool returned = false;
    QTimer::singleShot(0, this, [&] {
        ok = fetch(transfer, Kind::File);
        returned = true;
    });
    QTimer::singleShot(300, this, [] { QCoreApplication::quit(); });
    // Only a fetch that ignored the quit would still be waiting when this fires.
    QTimer::singleShot(8000, &transfer, &HttpTransfer::cancel);
    QElapsedTimer clock;
    clock.start();
    QCoreApplication::exec();

    QVERIFY(returned);
    QVERIFY(!ok);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY2(m_error.contains(QStringLiteral("quit")), qPrintable(m_error));
    QVERIFY(filesIn(m_dir->path()).isEmpty());
}

void TransferFaultsTest::emptyBody()
{
    m_server->expect("GET", "/item", ScriptedResponse::ok({}));
    m_server->expect("GET", "/item", ScriptedResponse::ok({}));
    QFile old(m_target);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("stale") == 5);
    old.close();

    HttpTransfer transfer;
    const freshgate::Result<QString> text =
        transfer.getUrlData(m_server->url(QStringLiteral("/item")));
    QVERIFY2(text.ok(), qPrintable(text.message()));
    QCOMPARE(*text, QString());
    const freshgate::Result<qint64> bytes =
        transfer.getBinaryData(m_server->url(QStringLiteral("/item")), m_target);
    QVERIFY2(bytes.ok(), qPrintable(bytes.message()));
    QCOMPARE(*bytes, 0);

    QVERIFY(QFileInfo::exists(m_target));
    QCOMPARE(QFileInfo(m_target).size(), 0);
    QCOMPARE(filesIn(m_dir->path()), QStringList{QStringLiteral("ov4res.cab")});
}

void TransferFaultsTest::textLimit_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<bool>("fits");
    ScriptedResponse closeDelimited = ScriptedResponse::ok(patternBytes(64 * 1024 + 1));
    closeDelimited.contentLength = -1;
    ScriptedResponse exactCloseDelimited =
        ScriptedResponse::ok(QByteArray(qsizetype{64} * 1024, 'a'));
    exactCloseDelimited.contentLength = -1;

    QTest::newRow("64 KiB") << ScriptedResponse::ok(QByteArray(qsizetype{64} * 1024, 'a')) << true;
    QTest::newRow("64 KiB, no length") << exactCloseDelimited << true;
    QTest::newRow("64 KiB + 1") << ScriptedResponse::ok(patternBytes(64 * 1024 + 1)) << false;
    QTest::newRow("64 KiB + 1, no length") << closeDelimited << false;
}

void TransferFaultsTest::textLimit()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(bool, fits);
    expectItem(response);

    HttpTransfer transfer;
    const freshgate::Result<QString> text =
        transfer.getUrlData(m_server->url(QStringLiteral("/item")));
    QCOMPARE(text.ok(), fits);
    if (fits) {
        QCOMPARE(text->size(), 64 * 1024);
    } else {
        QCOMPARE(text.kind(), freshgate::FailureKind::TooLarge);
    }
}

void TransferFaultsTest::httpProxyHonoured()
{
#ifdef Q_OS_WIN
    QSKIP("Windows takes the proxy from the system's settings, not from http_proxy");
#endif
    const QByteArray before = qgetenv("http_proxy");
    qputenv("http_proxy", m_server->url(QString()).toLatin1());
    // A name that cannot resolve: only a proxy can answer for it.
    m_server->expect("GET", "http://freshgate.invalid/freshgate/ov4arv.dat",
                     ScriptedResponse::ok("1\r\n2\r\n"));

    HttpTransfer transfer;
    transfer.setRequestTimeout(10);
    const freshgate::Result<QString> text =
        transfer.getUrlData(QStringLiteral("http://freshgate.invalid/freshgate/ov4arv.dat"));
    if (before.isNull()) {
        qunsetenv("http_proxy");
    } else {
        qputenv("http_proxy", before);
    }

    QVERIFY2(text.ok(), qPrintable(text.message()));
    QCOMPARE(*text, QStringLiteral("1\r\n2\r\n"));
    QCOMPARE(m_server->requests().size(), 1);
}

void TransferFaultsTest::notifications_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<bool>("ok");
    ScriptedResponse unknownLength =
        ScriptedResponse::ok(patternBytes(qsizetype{24} * 1024 * 1024));
    unknownLength.contentLength = -1;

    QTest::newRow("8 MiB") << ScriptedResponse::ok(patternBytes(qsizetype{8} * 1024 * 1024))
                           << true;
    QTest::newRow("24 MiB, no length") << unknownLength << true;
    QTest::newRow("small") << ScriptedResponse::ok("x") << true;
    QTest::newRow("404") << ScriptedResponse::withStatus(404, "gone") << false;
}

void TransferFaultsTest::notifications()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(bool, ok);
    expectItem(response);

    HttpTransfer transfer;
    QSignalSpy spy(&transfer, &HttpTransfer::stateChanged);
    QCOMPARE(fetch(transfer, Kind::File), ok);

    QList<int> states;
    for (const QList<QVariant> &args : spy) {
        states << args.at(0).toInt();
    }
    QVERIFY2(states.size() <= 13, qPrintable(QString::number(states.size())));
    QCOMPARE(states.first(), static_cast<int>(HttpTransfer::RequestSent));
    QCOMPARE(states.count(HttpTransfer::Error), ok ? 0 : 1);
    QCOMPARE(states.last(),
             static_cast<int>(ok ? HttpTransfer::ResponseCompleted : HttpTransfer::Error));
    if (ok) {
        QCOMPARE(states.count(HttpTransfer::ResponseReceived), 1);
        if (response.body.size() > qint64{1024} * 1024) {
            QVERIFY(states.count(HttpTransfer::ReceivingResponse) >= 2);
        }
    }
}

void TransferFaultsTest::secondFetchWhileBusyRefused()
{
    m_server->expect("GET", "/item", ScriptedResponse::ok("manifest"));
    HttpTransfer transfer;
    QString nested = QStringLiteral("not called");
    QString nestedError;
    connect(&transfer, &HttpTransfer::stateChanged, this, [&](int state) {
        if (state == HttpTransfer::RequestSent && nested == QStringLiteral("not called")) {
            const freshgate::Result<QString> inner =
                transfer.getUrlData(m_server->url(QStringLiteral("/other")));
            nested = inner ? *inner : QString();
            nestedError = inner ? QString() : inner.message();
        }
    });
    const freshgate::Result<QString> outer =
        transfer.getUrlData(m_server->url(QStringLiteral("/item")));
    QVERIFY(outer.ok());
    QCOMPARE(*outer, QStringLiteral("manifest"));
    QCOMPARE(nested, QString());
    QVERIFY(!nestedError.isEmpty());
    QVERIFY(!m_server->wasRequested("/other"));
}

QTEST_GUILESS_MAIN(TransferFaultsTest)
#include "tst_transfer_faults.moc"
