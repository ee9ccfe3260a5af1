// The one table of what the user is told about each kind of failure, read as a table: each row
// names the cause a person can act on, with the file, server or time that makes it specific.
#include "update/Explanation.h"

#include <QTest>

using namespace freshgate;

Q_DECLARE_METATYPE(FailureKind)

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
                            const char *file, bool fromSetting, const QStringList &says) {
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
};

QTEST_GUILESS_MAIN(TestExplanation)
#include "tst_explanation.moc"
