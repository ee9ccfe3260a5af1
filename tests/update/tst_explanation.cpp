// The one table of what the user is told about each kind of failure, read as a table: each row
// names the cause a person can act on, with the file, server or time that makes it specific.
#include "update/Explanation.h"

#include <QTest>

using namespace freshgate;

Q_DECLARE_METATYPE(FailureKind)
Q_DECLARE_METATYPE(Failure)

class TestExplanation : public QObject {
    Q_OBJECT

private slots:
    void explain_data()
    {
        QTest::addColumn<FailureKind>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("fromSetting");
        QTest::addColumn<QStringList>("says");

        const auto row = [](const char *name, FailureKind kind, int status, const char *message,
                            const char *file, bool fromSetting, QStringList says) {
            QTest::newRow(name) << kind << status << QString::fromLatin1(message)
                                << QString::fromLatin1(file) << fromSetting << says;
        };
        row("name in the setting not found", FailureKind::HostNotFound, 0, "Host not found",
            "ov4arv.dat", true,
            {"\"updates.example.com\"", "\"Update server\" setting", "network"});
        row("built-in name not found", FailureKind::HostNotFound, 0, "Host not found", "ov4arv.dat",
            false, {"\"updates.example.com\"", "could not be found", "network"});
        row("refused", FailureKind::Network, 0, "Connection refused", "ov4arv.dat", false,
            {"did not answer", "try again later"});
        row("certificate", FailureKind::Tls, 0, "SSL handshake failed", "ov4arv.dat", false,
            {"certificate is not trusted", "Nothing was downloaded"});
        row("archive missing", FailureKind::HttpStatus, 404, "HTTP status 404 Not Found",
            "ov4data.cab", false, {"has no ov4data.cab", "maker of Orvane4"});
        row("busy server", FailureKind::HttpStatus, 503, "HTTP status 503 Service Unavailable",
            "ov4data.cab", false, {"\"503 Service Unavailable\"", "ov4data.cab", "later"});
        row("time-out", FailureKind::Timeout, 0, "no data for 30 s (time-out)", "ov4help.cab",
            false, {"30 seconds", "ov4help.cab", "\"HTTP timeout\""});
        row("too slow", FailureKind::TooSlow, 0, "slower than 1024 bytes/s over 30 s",
            "ov4help.cab", false, {"ov4help.cab so slowly", "Try again later"});
        row("signature", FailureKind::Signature, 0, "refused ov4exe.cab: signed by another key",
            "ov4exe.cab", false, {"ov4exe.cab was refused", "signature", "nothing was installed"});
        row("disk full", FailureKind::NoSpace, 0, "not enough free space on /home (needs 120 MB)",
            "ov4data.cab", false, {"Not enough free space on /home (needs 120 MB)", "Free some"});
        row("too large", FailureKind::TooLarge, 0, "download larger than the limit", "ov4data.cab",
            false, {"ov4data.cab is larger", "maker of Orvane4"});
        row("sign-in page", FailureKind::Content, 0, "holds no version", "", false,
            {"not an update list", "sign-in page"});
        row("damaged archive", FailureKind::Archive, 0, "damaged cabinet", "ov4data.cab", false,
            {"archive ov4data.cab could not be unpacked", "were kept"});
        row("read-only folder", FailureKind::Disk, 0, "cannot create", "ov4res.cab", false,
            {"read-only"});
    }

    void explain()
    {
        QFETCH(FailureKind, kind);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(QString, file);
        QFETCH(bool, fromSetting);
        QFETCH(QStringList, says);

        const QString sentence = freshgate::explain(
            failure(kind, message, status),
            FailureContext{file, QStringLiteral("updates.example.com"), fromSetting, 30});
        for (const QString &part : says) {
            QVERIFY2(sentence.contains(part),
                     qPrintable(sentence + QStringLiteral(" lacks ") + part));
        }
        // One sentence or two, ending as a sentence does; never the bare technical message.
        QVERIFY2(sentence.endsWith(QLatin1Char('.')), qPrintable(sentence));
        QVERIFY(sentence != message);
    }

    // What a signature promised and the file did not keep is said plainly, with its values.
    void explainRefusal_data()
    {
        QTest::addColumn<Failure>("why");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("says");
        const auto row = [](const char *name, Failure why, const char *file, QStringList says) {
            QTest::newRow(name) << why << QString::fromLatin1(file) << says;
        };
        row("bad signature", refusal(Refusal::Invalid, "malformed"), "ov4res.cab",
            {"ov4res.cab was refused", "does not match"});
        row("unknown key", refusal(Refusal::UnknownKey, "another key", "0123ABCD"), "ov4res.cab",
            {"ov4res.cab", "key this Freshgate does not trust (key 0123ABCD)"});
        row("no version", refusal(Refusal::NoVersion, "names no version", {}, "2"), "ov4data.cab",
            {"ov4data.cab", "does not say which version"});
        row("other version", refusal(Refusal::OtherVersion, "signed for 1", "1", "2"),
            "ov4data.cab", {"ov4data.cab", "signed for version 1, the update list offers 2"});
        row("other size", refusal(Refusal::OtherSize, "larger", "1200"), "ov4data.cab",
            {"ov4data.cab", "not the 1200 bytes its signature names"});
        row("older", refusal(Refusal::Older, "older", "1600000000", "1700000000"), "ov4arv.dat",
            {"signed 2020-09-13 12:26 UTC", "accepted here last (signed 2023-11-14 22:13 UTC)"});
        row("no timestamp", refusal(Refusal::NoTimestamp, "no time", {}, "1700000000"),
            "ov4arv.dat", {"no signing time"});
        row("expired", refusal(Refusal::Expired, "expired", "1700000000", "1800000000"),
            "ov4arv.dat", {"expired on 2023-11-14 22:13 UTC", "old release"});
    }

    void explainRefusal()
    {
        QFETCH(Failure, why);
        QFETCH(QString, file);
        QFETCH(QStringList, says);
        const QString sentence = freshgate::explain(
            why, FailureContext{file, QStringLiteral("updates.example.com"), false, 30});
        for (const QString &part : says) {
            QVERIFY2(sentence.contains(part),
                     qPrintable(sentence + QStringLiteral(" lacks ") + part));
        }
        QVERIFY2(sentence.endsWith(QLatin1Char('.')), qPrintable(sentence));
    }
};

QTEST_GUILESS_MAIN(TestExplanation)
#include "tst_explanation.moc"
