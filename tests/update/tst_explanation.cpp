// The one table of what the user is told about each kind of failure, read as a table: each row
// names whom it is laid at (which picks the box's first line), and the cause a person can act
// on, with the file, server, folder or time that makes it specific.
#include "platform/StringTable.h"
#include "update/Explanation.h"

#include <QTest>

using namespace freshgate;

Q_DECLARE_METATYPE(FailureKind)
Q_DECLARE_METATYPE(Blame)

class TestExplanation : public QObject {
    Q_OBJECT

private slots:
    void explain_data()
    {
        QTest::addColumn<FailureKind>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("fromSetting");
        QTest::addColumn<Blame>("blame");
        QTest::addColumn<QStringList>("says");

        const auto row = [](const char *name, FailureKind kind, int status, const char *message,
                            const char *file, bool fromSetting, const QStringList &says) {
            const Blame blame = kind == FailureKind::Archive     ? Blame::Archive
                                : kind == FailureKind::Cancelled ? Blame::Nobody
                                                                 : Blame::Server;
            QTest::newRow(name) << kind << status << QString::fromLatin1(message) << QString()
                                << QString::fromLatin1(file) << fromSetting << blame << says;
        };
        // A failure of this computer names the place, and what to do about it.
        const auto local = [](const char *name, FailureKind kind, const char *path,
                              const QStringList &says) {
            QTest::newRow(name) << kind << 0 << QStringLiteral("cannot write")
                                << QString::fromUtf8(path) << QStringLiteral("ov4data.cab") << false
                                << Blame::ThisComputer << says;
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
        row("too large", FailureKind::TooLarge, 0, "download larger than the limit", "ov4data.cab",
            false, {"ov4data.cab is larger", "maker of Orvane4"});
        row("sign-in page", FailureKind::Content, 0, "holds no version", "", false,
            {"not an update list", "sign-in page"});
        row("damaged archive", FailureKind::Archive, 0, "damaged cabinet", "ov4data.cab", false,
            {"archive ov4data.cab could not be unpacked", "were kept"});
        row("stopped", FailureKind::Cancelled, 0, "cancelled", "ov4data.cab", false, {"stopped"});
        row("not an address", FailureKind::Usage, 0, "not an http or https URL", "", true,
            {"\"Update server\" setting"});
        local("disk full", FailureKind::NoSpace, "/home/u/Orvane4/Freshgate",
              {"not enough free space", "\"/home/u/Orvane4/Freshgate\"", "Free some space"});
        local("read-only data", FailureKind::ReadOnly, "/mnt/share/Orvane4/Data",
              {"\"/mnt/share/Orvane4/Data\" is on a read-only file system", "writable"});
        local("not allowed", FailureKind::Denied, "C:\\Program Files\\Orvane4",
              {"You may not change \"C:\\Program Files\\Orvane4\"", "permission"});
        local("in the way", FailureKind::Disk, "/opt/Orvane4/Freshgate",
              {"\"/opt/Orvane4/Freshgate\"", "in its way"});
        local("only an administrator", FailureKind::NeedsAdministrator,
              "C:\\Program Files\\Orvane4",
              {"\"C:\\Program Files\\Orvane4\"", "administrator must run Freshgate",
               "build Freshgate with a key"});
        local("prompt declined", FailureKind::ElevationDeclined, "C:\\Program Files\\Orvane4",
              {"Windows did not allow Freshgate to change C:\\Program Files\\Orvane4",
               "nothing was changed"});
        local("folder busy", FailureKind::FolderBusy, "C:\\Program Files\\Orvane4",
              {"Another Freshgate", "\"C:\\Program Files\\Orvane4\"", "Try again"});
        local("settings file", FailureKind::ReadOnly, "/home/u/.config/Velmora Orvane4.ini",
              {"\"/home/u/.config/Velmora Orvane4.ini\" is on a read-only file system"});
    }

    void explain()
    {
        QFETCH(FailureKind, kind);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(QString, path);
        QFETCH(QString, file);
        QFETCH(bool, fromSetting);
        QFETCH(Blame, blame);
        QFETCH(QStringList, says);

        Failure why = failure(kind, message, status);
        why.path = path;
        QCOMPARE(blameFor(kind), blame);
        // The product's own words stay the first line unless this computer is the cause.
        const bool local = blame == Blame::ThisComputer;
        QCOMPARE(firstLine(why) == LoadResString(StringId::ContactFailed), !local);
        QCOMPARE(firstLine(why).contains(QLatin1String("this computer")), local);

        const QString sentence = freshgate::explain(
            why, FailureContext{file, QStringLiteral("updates.example.com"), fromSetting, 30});
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
