// The pure rules of a transfer, from tables.

#include "transfer/HttpTransfer.h"
#include "transfer/TransferRules.h"

#include <QTest>

using freshgate::ReceiveProgress;

class TransferRulesTest : public QObject {
    Q_OBJECT

private slots:
    void maskedUrl_data();
    void maskedUrl();
    void successStatus_data();
    void successStatus();
    void announcedLength_data();
    void announcedLength();
    void receiveProgress_data();
    void receiveProgress();
    void requestTimeout_data();
    void requestTimeout();
    void httpTimeout_data();
    void httpTimeout();
    void retryAfter_data();
    void retryAfter();
    void retryDelay_data();
    void retryDelay();
    void rangeValidator_data();
    void rangeValidator();
    void continuing_data();
    void continuing();
    void amountText_data();
    void amountText();
};

void TransferRulesTest::maskedUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("shown");
    QTest::newRow("none") << "http://host/freshgate/ov4data.cab"
                          << "http://host/freshgate/ov4data.cab";
    QTest::newRow("user only") << "http://user@host/x"
                               << "http://***@host/x";
    QTest::newRow("user and password") << "http://user:pw@host/x"
                                       << "http://***@host/x";
    QTest::newRow("query") << "http://host/x?token=s3cret"
                           << "http://host/x?***";
    QTest::newRow("fragment") << "http://host/x#part"
                              << "http://host/x";
    QTest::newRow("https, port and all") << "https://u:p@host:8443/x?a=b#f"
                                         << "https://***@host:8443/x?***";
    QTest::newRow("not a URL") << "http://u:p@[bad/x"
                               << "(an invalid URL)";
}

void TransferRulesTest::maskedUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, shown);
    QCOMPARE(freshgate::maskedUrl(QUrl(url)), shown);
}

void TransferRulesTest::successStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("success");
    for (int status : {100, 199, 301, 304, 404, 500}) {
        QTest::addRow("%d", status) << status << false;
    }
    for (int status : {200, 204, 206, 299}) {
        QTest::addRow("%d", status) << status << true;
    }
}

void TransferRulesTest::successStatus()
{
    QFETCH(int, status);
    QFETCH(bool, success);
    QCOMPARE(freshgate::isSuccessStatus(status), success);
}

void TransferRulesTest::announcedLength_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<qint64>("length");
    QTest::newRow("plain") << QByteArray("16") << qint64{16};
    QTest::newRow("zero") << QByteArray("0") << qint64{0};
    QTest::newRow("spaces") << QByteArray(" 16 ") << qint64{16};
    QTest::newRow("3 GiB") << QByteArray("3221225472") << qint64{3221225472LL};
    QTest::newRow("absent") << QByteArray() << qint64{-1};
    QTest::newRow("merged from a redirect") << QByteArray("171, 16") << qint64{-1};
    QTest::newRow("repeated, same value") << QByteArray("16, 16") << qint64{16};
    QTest::newRow("negative") << QByteArray("-5") << qint64{-1};
    QTest::newRow("not a number") << QByteArray("lots") << qint64{-1};
    QTest::newRow("trailing junk") << QByteArray("16x") << qint64{-1};
}

void TransferRulesTest::announcedLength()
{
    QFETCH(QByteArray, header);
    QFETCH(qint64, length);
    QCOMPARE(freshgate::announcedLength(header), length);
}

void TransferRulesTest::receiveProgress_data()
{
    constexpr qint64 kMiB = qint64{1024} * 1024;
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QList<qint64>>("received");
    QTest::addColumn<QList<bool>>("notify");

    QTest::newRow("known length, tenths")
        << qint64{100} << QList<qint64>{5, 10, 15, 25, 26, 99, 100}
        << QList<bool>{false, true, false, true, false, true, false};
    QTest::newRow("known length, one big chunk")
        << qint64{1000} << QList<qint64>{950, 1000} << QList<bool>{true, false};
    QTest::newRow("unknown length, doublings")
        << qint64{-1} << QList<qint64>{kMiB / 2, kMiB, kMiB + 1, 2 * kMiB, 64 * kMiB, 64 * kMiB + 1}
        << QList<bool>{false, true, false, true, true, false};
    QTest::newRow("unknown length, at most ten")
        << qint64{-1}
        << QList<qint64>{kMiB,      2 * kMiB,   4 * kMiB,   8 * kMiB,   16 * kMiB,   32 * kMiB,
                         64 * kMiB, 128 * kMiB, 256 * kMiB, 512 * kMiB, 1024 * kMiB, 4096 * kMiB}
        << QList<bool>{true, true, true, true, true, true, true, true, true, true, false, false};
    QTest::newRow("empty body") << qint64{0} << QList<qint64>{0} << QList<bool>{false};
}

void TransferRulesTest::receiveProgress()
{
    QFETCH(qint64, total);
    QFETCH(QList<qint64>, received);
    QFETCH(QList<bool>, notify);
    ReceiveProgress progress(total);
    QList<bool> got;
    for (qint64 bytes : received) {
        got << progress.advance(bytes);
    }
    QCOMPARE(got, notify);
}

void TransferRulesTest::requestTimeout_data()
{
    QTest::addColumn<int>("set");
    QTest::addColumn<int>("used");
    QTest::newRow("seconds") << 5 << 5;
    QTest::newRow("none") << 0 << 0;
    QTest::newRow("negative is the default, not none") << -1 << 60;
    // 3,000,000,000 ms would overflow the request's counter.
    QTest::newRow("more than the request can count") << 3'000'000 << 60;
}

void TransferRulesTest::requestTimeout()
{
    QFETCH(int, set);
    QFETCH(int, used);
    freshgate::HttpTransfer transfer;
    QCOMPARE(transfer.requestTimeout(), 60);
    transfer.setRequestTimeout(set);
    QCOMPARE(transfer.requestTimeout(), used);
}

void TransferRulesTest::httpTimeout_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("seconds");
    QTest::newRow("absent") << QString() << 60;
    QTest::newRow("empty") << QStringLiteral("") << 60;
    QTest::newRow("blanks only") << QStringLiteral("   ") << 60;
    QTest::newRow("letters") << QStringLiteral("abc") << 60;
    QTest::newRow("digits then letters") << QStringLiteral("30s") << 60;
    QTest::newRow("four digits") << QStringLiteral("1200") << 60;
    QTest::newRow("1000") << QStringLiteral("1000") << 60;
    QTest::newRow("three digits padded to four") << QStringLiteral(" 999") << 60;
    QTest::newRow("negative") << QStringLiteral("-5") << 60;
    QTest::newRow("negative fraction") << QStringLiteral("-.4") << 60;
    QTest::newRow("five") << QStringLiteral("5") << 5;
    QTest::newRow("thirty") << QStringLiteral("30") << 30;
    QTest::newRow("largest") << QStringLiteral("999") << 999;
    QTest::newRow("leading zero") << QStringLiteral("060") << 60;
    QTest::newRow("blank before") << QStringLiteral(" 30") << 30;
    QTest::newRow("blank around") << QStringLiteral(" 7 ") << 7;
    QTest::newRow("plus sign") << QStringLiteral("+5") << 5;
    QTest::newRow("exponent") << QStringLiteral("1e2") << 100;
    QTest::newRow("capital exponent") << QStringLiteral("2E1") << 20;
    QTest::newRow("trailing point") << QStringLiteral("5.") << 5;
    QTest::newRow("half rounds down to even") << QStringLiteral("2.5") << 2;
    QTest::newRow("half rounds up to even") << QStringLiteral("3.5") << 4;
    QTest::newRow("fraction rounds half to even") << QStringLiteral("1.5") << 2;
    QTest::newRow("above a half") << QStringLiteral("2.6") << 3;
    QTest::newRow("hex") << QStringLiteral("&HA") << 10;
    QTest::newRow("hex, small letters") << QStringLiteral("&hf") << 15;
    QTest::newRow("octal") << QStringLiteral("&O7") << 7;
    QTest::newRow("not an octal digit") << QStringLiteral("&O8") << 60;
    QTest::newRow("ampersand alone") << QStringLiteral("&H") << 60;
    QTest::newRow("zero means no time-out") << QStringLiteral("0") << 0;
    QTest::newRow("zero with decimals") << QStringLiteral("0.0") << 0;
    // It rounds to 0, but only an exact zero turns the time-out off.
    QTest::newRow("rounds to zero") << QStringLiteral(".4") << 60;
    QTest::newRow("more than a transfer takes") << QStringLiteral("9e9") << 60;
    QTest::newRow("decimal comma") << QStringLiteral("1,5") << 60;
    QTest::newRow("Arabic-Indic digits") << QStringLiteral("\u0663\u0660") << 60;
}

void TransferRulesTest::httpTimeout()
{
    QFETCH(QString, setting);
    QFETCH(int, seconds);
    QCOMPARE(freshgate::httpTimeoutSeconds(setting), seconds);
}

void TransferRulesTest::retryAfter_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<int>("seconds");
    const QDateTime now(QDate(2026, 12, 9), QTime(16, 59, 50), Qt::UTC);
    const QDateTime nowAndAHalf = now.addMSecs(500);
    QTest::newRow("seconds") << QByteArray("120") << now << 120;
    QTest::newRow("seconds, blanks around") << QByteArray(" 5 ") << now << 5;
    QTest::newRow("zero") << QByteArray("0") << now << 0;
    QTest::newRow("more than a day") << QByteArray("100000") << now << 86400;
    QTest::newRow("negative") << QByteArray("-1") << now << -1;
    QTest::newRow("fraction") << QByteArray("1.5") << now << -1;
    QTest::newRow("absent") << QByteArray() << now << -1;
    QTest::newRow("words") << QByteArray("soon") << now << -1;
    QTest::newRow("IMF-fixdate") << QByteArray("Wed, 09 Dec 2026 17:00:00 GMT") << now << 10;
    QTest::newRow("IMF-fixdate, one-digit day")
        << QByteArray("Wed, 9 Dec 2026 17:00:00 GMT") << now << 10;
    QTest::newRow("rounded up to the second named")
        << QByteArray("Wed, 09 Dec 2026 17:00:00 GMT") << nowAndAHalf << 10;
    QTest::newRow("RFC 850") << QByteArray("Wednesday, 09-Dec-26 17:00:00 GMT") << now << 10;
    QTest::newRow("asctime") << QByteArray("Wed Dec  9 17:00:00 2026") << now << 10;
    QTest::newRow("asctime, two-digit day")
        << QByteArray("Thu Dec 10 17:00:00 2026") << now << 86400;
    QTest::newRow("numeric zone") << QByteArray("Wed, 09 Dec 2026 18:00:00 +0100") << now << 10;
    QTest::newRow("passed") << QByteArray("Wed, 09 Dec 2026 16:00:00 GMT") << now << 0;
    // RFC 850's two-digit year: 2076 is more than 50 years ahead, so it is 1976, long passed.
    QTest::newRow("RFC 850, last century")
        << QByteArray("Wednesday, 09-Dec-76 17:00:00 GMT") << now << 0;
    QTest::newRow("no such day") << QByteArray("Wed, 31 Feb 2026 17:00:00 GMT") << now << -1;
    QTest::newRow("no such month") << QByteArray("Wed, 09 Dez 2026 17:00:00 GMT") << now << -1;
    QTest::newRow("no time") << QByteArray("Wed, 09 Dec 2026 GMT") << now << -1;
}

void TransferRulesTest::retryAfter()
{
    QFETCH(QByteArray, value);
    QFETCH(QDateTime, now);
    QFETCH(int, seconds);
    QCOMPARE(freshgate::retryAfterSeconds(value, now), seconds);
}

void TransferRulesTest::retryDelay_data()
{
    QTest::addColumn<int>("next");
    QTest::addColumn<int>("retryAfter");
    QTest::addColumn<double>("jitter");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("second try") << 2 << -1 << 1.0 << 1000;
    QTest::newRow("third try doubles") << 3 << -1 << 1.0 << 2000;
    QTest::newRow("jitter spreads") << 2 << -1 << 1.2 << 1200;
    QTest::newRow("jitter is bounded") << 2 << -1 << 3.0 << 1200;
    QTest::newRow("Retry-After wins") << 2 << 4 << 1.2 << 4000;
    QTest::newRow("Retry-After of 0") << 3 << 0 << 1.0 << 0;
    QTest::newRow("Retry-After capped at 30 s") << 2 << 86400 << 1.0 << 30000;
}

void TransferRulesTest::retryDelay()
{
    QFETCH(int, next);
    QFETCH(int, retryAfter);
    QFETCH(double, jitter);
    QFETCH(int, delayMs);
    QCOMPARE(freshgate::retryDelayMs(next, 1000, retryAfter, jitter), delayMs);
}

void TransferRulesTest::rangeValidator_data()
{
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("value");
    const QByteArray date = "Tue, 08 Dec 2026 10:00:00 GMT";
    QTest::newRow("strong ETag") << QByteArray("\"v1\"") << date << QByteArray("ETag")
                                 << QByteArray("\"v1\"");
    QTest::newRow("weak ETag alone")
        << QByteArray("W/\"v1\"") << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("weak ETag and a date")
        << QByteArray("W/\"v1\"") << date << QByteArray("Last-Modified") << date;
    QTest::newRow("a date alone") << QByteArray() << date << QByteArray("Last-Modified") << date;
    QTest::newRow("neither") << QByteArray() << QByteArray() << QByteArray() << QByteArray();
}

void TransferRulesTest::rangeValidator()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, value);
    const std::optional<freshgate::Validator> got = freshgate::rangeValidator(etag, lastModified);
    QCOMPARE(got.has_value(), !header.isEmpty());
    if (got) {
        QCOMPARE(got->header, header);
        QCOMPARE(got->value, value);
    }
}

void TransferRulesTest::continuing_data()
{
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<QByteArray>("validator");
    QTest::addColumn<QString>("refusal");
    const QByteArray tag = "\"v1\"";
    QTest::newRow("the rest of the same") << QByteArray("bytes 100-999/1000") << tag << QString();
    QTest::newRow("blanks around") << QByteArray(" bytes 100-999/1000 ") << tag << QString();
    QTest::newRow("weak form of the same tag")
        << QByteArray("bytes 100-999/1000") << QByteArray("W/\"v1\"") << "another version";
    QTest::newRow("another tag") << QByteArray("bytes 100-999/1000") << QByteArray("\"v2\"")
                                 << "another version";
    QTest::newRow("no tag") << QByteArray("bytes 100-999/1000") << QByteArray() << "no ETag";
    QTest::newRow("stops short of the end")
        << QByteArray("bytes 100-499/1000") << tag << "does not continue";
    QTest::newRow("from another byte")
        << QByteArray("bytes 0-999/1000") << tag << "does not continue";
    QTest::newRow("another length") << QByteArray("bytes 100-1199/1200") << tag << "length";
    QTest::newRow("length unknown") << QByteArray("bytes 100-999/*") << tag << "length";
    QTest::newRow("no range") << QByteArray() << tag << "no readable Content-Range";
    QTest::newRow("not bytes") << QByteArray("lines 1-2/3") << tag << "no readable Content-Range";
}

void TransferRulesTest::continuing()
{
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, validator);
    QFETCH(QString, refusal);
    const freshgate::Resume resume{100, 1000, {"ETag", "\"v1\""}};
    const QString why = freshgate::whyNotContinuing(resume, contentRange, validator);
    QVERIFY2(refusal.isEmpty() ? why.isEmpty() : why.contains(refusal), qPrintable(why));
}

void TransferRulesTest::amountText_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("shown");
    QTest::newRow("start") << qint64{0} << qint64{45'600'000} << "0.0 of 45.6 MB";
    QTest::newRow("part way") << qint64{12'345'678} << qint64{45'600'000} << "12.3 of 45.6 MB";
    QTest::newRow("rounds to the nearest")
        << qint64{12'360'000} << qint64{45'600'000} << "12.4 of 45.6 MB";

    QTest::newRow("total unknown") << qint64{12'345'678} << qint64{-1} << "12.3 MB";
    QTest::newRow("small file") << qint64{40'000} << qint64{80'000} << "0.0 of 0.1 MB";
}

void TransferRulesTest::amountText()
{
    QFETCH(qint64, bytes);
    QFETCH(qint64, total);
    QFETCH(QString, shown);
    QCOMPARE(freshgate::amountText(bytes, total), shown);
}

QTEST_GUILESS_MAIN(TransferRulesTest)
#include "tst_transfer_rules.moc"
