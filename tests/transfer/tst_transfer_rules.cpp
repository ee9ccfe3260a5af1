// The pure rules of a transfer, from tables.

#include "transfer/HttpTransfer.h"
#include "transfer/TransferRules.h"

#include <QTest>

using freshgate::ReceiveProgress;

class TransferRulesTest : public QObject {
    Q_OBJECT

private slots:
    void successStatus_data();
    void successStatus();
    void announcedLength_data();
    void announcedLength();
    void receiveProgress_data();
    void receiveProgress();
    void requestTimeout_data();
    void requestTimeout();
    void amountText_data();
    void amountText();
};

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
