#include "settings/HttpTimeout.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        // Before the first QSettings: it settles its folders once per process.
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    void init() { QFile::remove(iniPath()); }

    void httpTimeout_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("seconds");
        QTest::newRow("absent or empty") << QString() << 60;
        QTest::newRow("letters") << QStringLiteral("abc") << 60;
        QTest::newRow("digits then letters") << QStringLiteral("30s") << 60;
        QTest::newRow("four digits") << QStringLiteral("1200") << 60;
        QTest::newRow("three digits padded to four") << QStringLiteral(" 999") << 60;
        QTest::newRow("negative") << QStringLiteral("-5") << 60;
        QTest::newRow("fraction") << QStringLiteral("1.5") << 60;
        QTest::newRow("five") << QStringLiteral("5") << 5;
        QTest::newRow("thirty") << QStringLiteral("30") << 30;
        QTest::newRow("largest") << QStringLiteral("999") << 999;
        QTest::newRow("leading zero") << QStringLiteral("060") << 60;
        QTest::newRow("blank around") << QStringLiteral(" 7 ") << 7;
        QTest::newRow("zero means no time-out") << QStringLiteral("0") << 0;
    }

    void httpTimeout()
    {
        QFETCH(QString, setting);
        QFETCH(int, seconds);
        QCOMPARE(httpTimeoutSeconds(setting), seconds);
    }

    void keyTable_data()
    {
        QTest::addColumn<SettingKey>("key");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("fallback");
        QTest::addColumn<bool>("written");
        const auto row = [](const char *tag, SettingKey key, const char *section, const char *name,
                            const char *fallback, bool written) {
            QTest::newRow(tag) << key << QString::fromLatin1(section) << QString::fromLatin1(name)
                               << QString::fromLatin1(fallback) << written;
        };
        row("timeout", SettingKey::HttpTimeout, "User preferences", "HTTP timeout", "60", false);
        row("resource", SettingKey::ResourceVersion, "Freshgate", "Resource file version", "1",
            true);
        row("data", SettingKey::DataVersion, "Freshgate", "Data files version", "1", true);
        row("help", SettingKey::HelpVersion, "Freshgate", "Help file version", "1", true);
        row("exe", SettingKey::ExeVersion, "Freshgate", "EXE file version", "400", true);
        row("server", SettingKey::UpdateServer, "Freshgate", "Update server", "", false);
    }

    // Absent keys read as their defaults and nothing is written while reading.
    void keyTable()
    {
        QFETCH(SettingKey, key);
        QFETCH(QString, section);
        QFETCH(QString, name);
        QFETCH(QString, fallback);
        QFETCH(bool, written);

        const SettingInfo &info = settingInfo(key);
        QCOMPARE(QString::fromLatin1(info.section), section);
        QCOMPARE(QString::fromLatin1(info.name), name);
        QCOMPARE(info.writtenByUs, written);

        SettingsStore store;
        QCOMPARE(store.read(key), QString());
        QCOMPARE(store.readOrDefault(key), fallback);
        QVERIFY(!QFile::exists(iniPath()));
    }

    // A stored value such as "0" is a value, not an empty one.
    void storedValuesWinOverDefaults()
    {
        writeIni("[Freshgate]\nEXE%20file%20version=0\nData%20files%20version=\n");
        SettingsStore store;
        QCOMPARE(store.readOrDefault(SettingKey::ExeVersion), QStringLiteral("0"));
        QCOMPARE(store.readOrDefault(SettingKey::DataVersion), QStringLiteral("1"));
    }

    // The product and Freshgate share one file; a write creates it and its
    // section, changes only its own key and keeps everything else.
    void writeReachesTheDisk()
    {
        writeIni("[User%20preferences]\nHTTP%20timeout=30\nColour=blue\n");
        {
            SettingsStore store;
            QCOMPARE(store.location(), iniPath());
            QCOMPARE(store.read(SettingKey::HttpTimeout), QStringLiteral("30"));
            QVERIFY(store.write(SettingKey::ResourceVersion, QStringLiteral("2")));
            QVERIFY(store.write(SettingKey::ResourceVersion, QStringLiteral("3")));
        }
        const QString text = readIni();
        QVERIFY2(text.contains(QLatin1String("[Freshgate]\nResource%20file%20version=3")),
                 qPrintable(text));
        QVERIFY(text.contains(QLatin1String("HTTP%20timeout=30")));
        QVERIFY(text.contains(QLatin1String("Colour=blue")));
        QVERIFY(!text.contains(QLatin1String("Data%20files")));

        SettingsStore again;
        QCOMPARE(again.read(QStringLiteral("Freshgate"), QStringLiteral("Resource file version")),
                 QStringLiteral("3"));
    }

    void listLikeValuesReadAsText()
    {
        writeIni("[Freshgate]\nUpdate%20server=a, b\n");
        SettingsStore store;
        QCOMPARE(store.read(SettingKey::UpdateServer), QStringLiteral("a, b"));
    }

    void unwritableStoreIsReported()
    {
        // A folder where the file should be makes every write fail, even for root.
        QVERIFY(QDir().mkpath(iniPath()));
        SettingsStore store;
        QVERIFY(!store.write(SettingKey::HelpVersion, QStringLiteral("4")));
        QVERIFY(QDir(iniPath()).removeRecursively());
    }

private:
    QString iniPath() const { return m_config.filePath(QStringLiteral("Velmora Orvane4.ini")); }

    void writeIni(const char *text)
    {
        QFile file(iniPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QString readIni() const
    {
        QFile file(iniPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir m_config;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
