#include "protocol/Manifest.h"
#include "protocol/Version.h"

#include <QTest>

using namespace freshgate;

class TestManifest : public QObject {
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QStringList>("fields");
        const auto row = [](const char *tag, const char *body, const QStringList &fields) {
            QTest::newRow(tag) << QString::fromLatin1(body) << fields;
        };
        row("five", "12*7*3*415*410", {"12", "7", "3", "415", "410"});
        row("sixth dropped", "1*1*1*400*0*99", {"1", "1", "1", "400", "0"});
        row("everything after the fifth star", "1*1*1*400*0*9*9", {"1", "1", "1", "400", "0"});
        row("trailing line break stays", "1*1*1*400*0\r\n", {"1", "1", "1", "400", "0\r\n"});
        row("blanks stay", " 2 *1*1*400*0", {" 2 ", "1", "1", "400", "0"});
        row("missing fields empty", "2*3", {"2", "3", "", "", ""});
        row("empty fields", "****", {"", "", "", "", ""});
        row("no star", "42", {"42", "", "", "", ""});
        row("empty", "", {"", "", "", "", ""});
    }

    void parse()
    {
        QFETCH(QString, body);
        QFETCH(QStringList, fields);
        const Manifest manifest = parseManifest(body);
        QCOMPARE(QStringList(manifest.fields.begin(), manifest.fields.end()), fields);
    }

    void offersAnyVersion_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("offers");
        QTest::newRow("all four") << "12*7*3*415*410" << true;
        QTest::newRow("only the program") << "x*y*z*415*0" << true;
        QTest::newRow("only a threshold") << "x*y*z*w*410" << false;
        QTest::newRow("sign-in page") << "<html><body>Please sign in</body></html>" << false;
        QTest::newRow("page with stars") << "<p>*** Welcome ***</p>" << false;
        QTest::newRow("bare number") << "42" << true;
        QTest::newRow("blank") << " \r\n" << false;
    }

    void offersAnyVersion()
    {
        QFETCH(QString, body);
        QFETCH(bool, offers);
        QCOMPARE(parseManifest(body).offersAnyVersion(), offers);
    }

    void version_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("value");
        const auto row = [](const char *text, bool valid, int value) {
            QTest::newRow(text) << QString::fromLatin1(text) << valid << value;
        };
        row("415", true, 415);
        row("0", true, 0);
        row("-32768", true, -32768);
        row("32767", true, 32767);
        row("+7", true, 7);
        row("007", true, 7);
        row(" 12\t", true, 12);
        row("0\r\n", true, 0);
        row("32768", false, 0);
        row("-32769", false, 0);
        row("99999999999999999999", false, 0);
        row("", false, 0);
        row("  ", false, 0);
        row("abc", false, 0);
        row("1.5", false, 0);
        row("1 2", false, 0);
        row("0x10", false, 0);
        row("-", false, 0);
    }

    void version()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, value);
        const auto parsed = parseVersion(text);
        QCOMPARE(parsed.has_value(), valid);
        if (valid) {
            QCOMPARE(static_cast<int>(*parsed), value);
        }
    }

    void outOfDate_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("offered");
        QTest::addColumn<bool>("fetch");
        const auto row = [](const char *installed, const char *offered, bool fetch) {
            QTest::addRow("%s vs %s", installed, offered)
                << QString::fromLatin1(installed) << QString::fromLatin1(offered) << fetch;
        };
        row("1", "2", true);
        row("2", "2", false);
        row("3", "2", false);
        row("9", "10", true); // numbers, not text
        row("-1", "0", true);
        row("400", "401\n", true);
        row("1", "", false);      // an empty offer never downloads
        row("1", "new", false);   // nor letters
        row("1", "40000", false); // nor a number past 16 bits
        row("", "2", true);       // a broken store is repaired by installing
        row("junk", "2", true);
        row("junk", "junk", false);
    }

    void outOfDate()
    {
        QFETCH(QString, installed);
        QFETCH(QString, offered);
        QFETCH(bool, fetch);
        QString why;
        QCOMPARE(isOutOfDate(installed, offered, &why), fetch);
        QVERIFY(!why.isEmpty());
    }

    void fullPackage_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("threshold");
        QTest::addColumn<bool>("full");
        const auto row = [](const char *installed, const char *threshold, bool full) {
            QTest::addRow("%s vs %s", installed, threshold)
                << QString::fromLatin1(installed) << QString::fromLatin1(threshold) << full;
        };
        row("400", "410", true);
        row("410", "410", true);
        row("412", "410", false);
        row("412", "", true);
        row("412", "x", true);
        row("old", "410", true);
    }

    void fullPackage()
    {
        QFETCH(QString, installed);
        QFETCH(QString, threshold);
        QFETCH(bool, full);
        QCOMPARE(takesFullPackage(installed, threshold), full);
    }
};

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"
