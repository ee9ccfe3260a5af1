#include "app/Captions.h"
#include "platform/StringTable.h"

#include <QTest>

using namespace freshgate;

namespace {

// The table's rows by number, as the stored captions name them.
QString lookup(int id)
{
    return LoadResString(id);
}

} // namespace

class TestCaptions : public QObject {
    Q_OBJECT

private slots:
    void control_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        const auto row = [](const char *tag, const QString &stored, const QString &shown) {
            QTest::newRow(tag) << stored << shown;
        };
        row("string number", QStringLiteral("_445"), LoadResString(445));
        row("button", QStringLiteral("_446"), QStringLiteral("&Finish"));
        row("underscore alone", QStringLiteral("_"), QStringLiteral("_"));
        row("underscore letters", QStringLiteral("_abc"), QStringLiteral("_abc"));
        row("underscore digits letters", QStringLiteral("_44x"), QStringLiteral("_44x"));
        row("bare number", QStringLiteral("445"), QStringLiteral("445"));
        row("empty", QString(), QString());
        row("no such row", QStringLiteral("_9999"), QStringLiteral("_9999"));
        row("past 16 bits", QStringLiteral("_70000"), QStringLiteral("_70000"));
        row("sign", QStringLiteral("_-445"), QStringLiteral("_-445"));
        row("blank inside", QStringLiteral("_ 445"), QStringLiteral("_ 445"));
    }

    void control()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QCOMPARE(localizedControlCaption(stored, lookup), shown);
    }

    void window_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("bare number")
            << QStringLiteral("443") << QStringLiteral("Velmora Freshgate");
        QTest::newRow("underscore is for controls")
            << QStringLiteral("_443") << QStringLiteral("_443");
        QTest::newRow("text") << QStringLiteral("Freshgate") << QStringLiteral("Freshgate");
        QTest::newRow("no such row") << QStringLiteral("12") << QStringLiteral("12");
    }

    void window()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QCOMPARE(localizedWindowCaption(stored, lookup), shown);
    }

    // Every row a user reads, word for word, in both language blocks.
    void stringTable()
    {
        const QMap<int, QString> expected{
            {443, QStringLiteral("Velmora Freshgate")},
            {444, QStringLiteral("Freshgate is checking for updates to Orvane4.")},
            {445, QStringLiteral("Please be patient, updates can sometimes take up to 10 minutes "
                                 "to complete!")},
            {446, QStringLiteral("&Finish")},
            {447, QStringLiteral("Checking...")},
            {448, QStringLiteral("Freshgate could not contact the Freshgate server. Please try "
                                 "again at another time.")},
            {449, QStringLiteral("No updates available")},
            {450, QStringLiteral("You have the most recent available Orvane4 components so no "
                                 "updates were downloaded.")},
            {451, QStringLiteral("Downloading...")},
            {452, QStringLiteral("Processing...")},
            {453, QStringLiteral("Update failed")},
            {454, QStringLiteral("Update installed")},
            {455, QStringLiteral("All available updates are complete, please click finish to run "
                                 "Orvane4.")},
            {456, QStringLiteral("All updates are complete, please click finish to run Orvane4 "
                                 "Setup to install the latest version of Orvane4.")},
            {457, QStringLiteral("Waiting...")},
            {458, QStringLiteral("The update failed, please try again at another time.")},
        };
        QCOMPARE(StringTable::blocks(), (QStringList{"en-GB", "en-US"}));
        for (const QLocale &locale : {QLocale(QLocale::English, QLocale::UnitedStates),
                                      QLocale(QLocale::English, QLocale::UnitedKingdom)}) {
            const StringTable table(locale);
            for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
                QCOMPARE(table.text(it.key()), it.value());
            }
            QVERIFY(!table.contains(442));
            QVERIFY(!table.contains(459));
        }
    }

    void languageBlock_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("block");
        QTest::newRow("US") << QLocale(QLocale::English, QLocale::UnitedStates) << "en-US";
        QTest::newRow("UK") << QLocale(QLocale::English, QLocale::UnitedKingdom) << "en-GB";
        QTest::newRow("Australia") << QLocale(QLocale::English, QLocale::Australia) << "en-US";
        QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "en-US";
        QTest::newRow("C") << QLocale::c() << "en-US";
    }

    void languageBlock()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, block);
        QCOMPARE(StringTable(locale).block(), block);
    }
};

QTEST_GUILESS_MAIN(TestCaptions)
#include "tst_captions.moc"
