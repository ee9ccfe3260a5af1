#include "settings/SettingsStore.h"
#include "support/Files.h"
#include "support/Immutable.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;
using namespace Qt::StringLiterals;
using freshgate::test::Immutable;

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_xdgConfig.isValid());
        QVERIFY(m_dir.isValid());
        // Before the first QSettings: it settles its folders once per process. Only the test of
        // the product's own store looks there; no test touches the user's real one.
        qputenv("XDG_CONFIG_HOME", m_xdgConfig.path().toUtf8());
    }

    void init()
    {
        for (const QFileInfo &entry :
             QDir(m_dir.path())
                 .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            QVERIFY(entry.isDir() ? QDir(entry.filePath()).removeRecursively()
                                  : QFile::remove(entry.filePath()));
        }
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
        row("timeout", SettingKey::HttpTimeout, "User preferences", "HTTP timeout", "", false);
        row("resource", SettingKey::ResourceVersion, "Freshgate", "Resource file version", "1",
            true);
        row("data", SettingKey::DataVersion, "Freshgate", "Data files version", "1", true);
        row("help", SettingKey::HelpVersion, "Freshgate", "Help file version", "1", true);
        row("exe", SettingKey::ExeVersion, "Freshgate", "EXE file version", "400", true);
        row("manifest time", SettingKey::ManifestSignedAt, "Freshgate", "Manifest signed at", "",
            true);
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

        SettingsStore store(iniPath());
        QCOMPARE(store.read(key), QString());
        QCOMPARE(store.readOrDefault(key), fallback);
        QVERIFY(!QFile::exists(iniPath()));
    }

    // The program's own store is the file the product keeps in the user's configuration folder.
    void productStoreLocation()
    {
        SettingsStore store;
        QCOMPARE(store.location(),
                 QDir(m_xdgConfig.path()).filePath(QStringLiteral("Velmora Orvane4.ini")));
    }

    // A stored value such as "0" is a value, not an empty one.
    void storedValuesWinOverDefaults()
    {
        writeIni("[Freshgate]\nEXE%20file%20version=0\nData%20files%20version=\n");
        SettingsStore store(iniPath());
        QCOMPARE(store.readOrDefault(SettingKey::ExeVersion), QStringLiteral("0"));
        QCOMPARE(store.readOrDefault(SettingKey::DataVersion), QStringLiteral("1"));
    }

    // The product and Freshgate share one file; a write creates it and its
    // section, changes only its own key and keeps everything else.
    void writeReachesTheDisk()
    {
        writeIni("[User%20preferences]\nHTTP%20timeout=30\nColour=blue\n");
        {
            SettingsStore store(iniPath());
            QCOMPARE(store.location(), iniPath());
            QCOMPARE(store.read(SettingKey::HttpTimeout), QStringLiteral("30"));
            QVERIFY(store.write(SettingKey::ResourceVersion, QStringLiteral("2")));
            QVERIFY(store.write(SettingKey::ResourceVersion, QStringLiteral("3")));
            // Same length, same millisecond: the store must still read what it wrote.
            for (int i = 0; i < 20; ++i) {
                const QString value = QString::number(i % 10);
                QVERIFY(store.write(SettingKey::HelpVersion, value));
                QCOMPARE(store.read(SettingKey::HelpVersion), value);
            }
        }
        const QString text = readIni();
        QVERIFY2(text.contains(QLatin1String("[Freshgate]\nResource%20file%20version=3")),
                 qPrintable(text));
        QVERIFY(text.contains(QLatin1String("HTTP%20timeout=30")));
        QVERIFY(text.contains(QLatin1String("Colour=blue")));
        QVERIFY(!text.contains(QLatin1String("Data%20files")));

        SettingsStore again(iniPath());
        QCOMPARE(again.read(QStringLiteral("Freshgate"), QStringLiteral("Resource file version")),
                 QStringLiteral("3"));
    }

    void listLikeValuesReadAsText()
    {
        writeIni("[Freshgate]\nUpdate%20server=a, b\n");
        SettingsStore store(iniPath());
        QCOMPARE(store.read(SettingKey::UpdateServer), QStringLiteral("a, b"));
    }

    void writeChangesOnlyItsLine_data();
    void writeChangesOnlyItsLine();
    void valuesSpelledAsQSettingsWritesThem_data();
    void valuesSpelledAsQSettingsWritesThem();
    void unwritableStoreIsReported_data();
    void unwritableStoreIsReported();

private:
    QString iniPath() const { return m_dir.filePath(QStringLiteral("orvane.ini")); }

    void writeIni(const QByteArray &text) { QVERIFY(freshgate::test::writeFile(iniPath(), text)); }

    QByteArray readIniBytes() const { return freshgate::test::readFile(iniPath()); }

    QString readIni() const { return QString::fromUtf8(readIniBytes()); }

    // Every key QSettings reads from the file, with its value.
    QMap<QString, QVariant> readAll() const
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        QMap<QString, QVariant> all;
        for (const QString &key : settings.allKeys()) {
            all.insert(key, settings.value(key));
        }
        return all;
    }

    QTemporaryDir m_xdgConfig;
    QTemporaryDir m_dir;
};

// The realistic file the product and other programs leave: comments, a line QSettings cannot
// parse, values in plain INI form that QSettings itself would mangle on a rewrite.
constexpr char kSharedFile[] = "; Orvane4 settings, edited by hand\n"
                               "# not a comment to QSettings, a line without an equals sign\n"
                               "[User preferences]\n"
                               "Path=C:\\Program Files\\Orvane4\n"
                               "Font=Arial;12\n"
                               "HTTP timeout = 30   ; seconds\n"
                               "just some words\n"
                               "\n"
                               "[Freshgate]\n"
                               "Data%20files%20version=2\n"
                               "Resource%20file%20version=3\n"
                               "\n"
                               "[Other]\n"
                               "Resource%20file%20version=99\n";

void TestSettings::writeChangesOnlyItsLine_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    const QByteArray line = "Resource%20file%20version=7";
    QTest::newRow("no file") << false << QByteArray() << "[Freshgate]\n" + line + "\n";
    QTest::newRow("empty file") << true << QByteArray() << "[Freshgate]\n" + line + "\n";
    QByteArray shared(kSharedFile);
    QTest::newRow("shared file, key present")
        << true << shared
        << QByteArray(shared).replace("Resource%20file%20version=3", "Resource%20file%20version=7");
    QTest::newRow("key spelled with spaces, blanks and a comment")
        << true << QByteArray("[Freshgate]\nResource file version = 3  ; by hand\nX=1\n")
        << QByteArray("[Freshgate]\nResource file version = 7  ; by hand\nX=1\n");
    QTest::newRow("CRLF, key absent from its section")
        << true
        << QByteArray("[Freshgate]\r\nData%20files%20version=2\r\n\r\n"
                      "[User%20preferences]\r\nPath=C:\\Orvane4\r\n")
        << "[Freshgate]\r\nData%20files%20version=2\r\n" + line +
               "\r\n\r\n[User%20preferences]\r\nPath=C:\\Orvane4\r\n";
    QTest::newRow("key only in another section")
        << true << QByteArray("[Other]\nResource%20file%20version=3\n")
        << "[Other]\nResource%20file%20version=3\n\n[Freshgate]\n" + line + "\n";
    QTest::newRow("section in other case is another section")
        << true << QByteArray("[freshgate]\nResource%20file%20version=3\n")
        << "[freshgate]\nResource%20file%20version=3\n\n[Freshgate]\n" + line + "\n";
    QTest::newRow("no section, no final line break")
        << true << QByteArray("[User%20preferences]\nFont=Arial;12")
        << "[User%20preferences]\nFont=Arial;12\n\n[Freshgate]\n" + line + "\n";
    QTest::newRow("section is the last line, no line break")
        << true << QByteArray("; top\n[Freshgate]") << "; top\n[Freshgate]\n" + line + "\n";
    QTest::newRow("section twice: the key joins the last")
        << true << QByteArray("[Freshgate]\nA=1\n[Other]\nB=2\n[Freshgate]\nC=3\n; end\n")
        << "[Freshgate]\nA=1\n[Other]\nB=2\n[Freshgate]\nC=3\n" + line + "\n; end\n";
    QTest::newRow("key twice: both, so every reader sees it")
        << true << QByteArray("[Freshgate]\nResource%20file%20version=3\nResource file version=4\n")
        << "[Freshgate]\n" + line + "\nResource file version=7\n";
    QTest::newRow("byte-order mark")
        << true << QByteArray("\xef\xbb\xbf[Freshgate]\nResource%20file%20version=3\n")
        << "\xef\xbb\xbf[Freshgate]\n" + line + "\n";
}

// A write replaces its own line and nothing else: every other byte, comment and line ending
// stays, other keys read as before, the new value reads back, and it keeps working after a
// line QSettings cannot parse.
void TestSettings::writeChangesOnlyItsLine()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    if (exists) {
        writeIni(before);
        QVERIFY(QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::WriteOwner |
                                                     QFile::ReadUser | QFile::WriteUser |
                                                     QFile::ReadGroup));
    }
    const auto permissions = QFileInfo(iniPath()).permissions();
    QMap<QString, QVariant> others = readAll();
    others.remove(QStringLiteral("Freshgate/Resource file version"));

    SettingsStore store(iniPath());
    QVERIFY(store.write(SettingKey::ResourceVersion, QStringLiteral("6")));
    QVERIFY(store.write(SettingKey::ResourceVersion, QStringLiteral("7")));

    QCOMPARE(readIniBytes(), after);
    QCOMPARE(store.read(SettingKey::ResourceVersion), QStringLiteral("7"));
    QMap<QString, QVariant> now = readAll();
    QCOMPARE(now.take(QStringLiteral("Freshgate/Resource file version")), QVariant(u"7"_s));
    QCOMPARE(now, others);
    if (exists) {
        QCOMPARE(QFileInfo(iniPath()).permissions(), permissions);
    }
    // No temporary or lock file stays behind.
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("orvane.ini")});
}

void TestSettings::valuesSpelledAsQSettingsWritesThem_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    const QString freshgate = QStringLiteral("Freshgate");
    const QString version = QStringLiteral("Resource file version");
    QTest::newRow("number") << freshgate << version << u"12"_s;
    QTest::newRow("empty") << freshgate << version << QString();
    QTest::newRow("section and key with spaces")
        << u"User preferences"_s << u"HTTP timeout"_s << u"30"_s;
    QTest::newRow("[General] is taken") << u"General"_s << u"Path"_s << u"x"_s;
    QTest::newRow("key with a slash") << freshgate << u"a/b"_s << u"x"_s;
    QTest::newRow("key beyond ASCII") << freshgate << u"Größe €"_s << u"x"_s;
    QTest::newRow("backslash path") << freshgate << version << u"C:\\Program Files\\Orvane4"_s;
    QTest::newRow("semicolon") << freshgate << version << u"Arial;12"_s;
    QTest::newRow("comma") << freshgate << version << u"a, b"_s;
    QTest::newRow("equals") << freshgate << version << u"k=v"_s;
    QTest::newRow("blanks around") << freshgate << version << u" 7 "_s;
    QTest::newRow("quotes") << freshgate << version << u"say \"hi\""_s;
    QTest::newRow("at sign") << freshgate << version << u"@Invalid()"_s;
    QTest::newRow("beyond ASCII") << freshgate << version << u"é € 😀"_s;
    QTest::newRow("control characters") << freshgate << version
                                        << u"a\tb\nc\x01"
                                           "d\x7f"_s;
}

// The new line is spelled byte for byte as QSettings spells it, so it reads back the same.
void TestSettings::valuesSpelledAsQSettingsWritesThem()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const QString theirs = m_dir.filePath(QStringLiteral("qsettings.ini"));
    {
        QSettings settings(theirs, QSettings::IniFormat);
        settings.setValue(section + u'/' + key, value);
    }

    SettingsStore store(iniPath());
    QVERIFY(store.write(section, key, value));
    QCOMPARE(readIniBytes(), freshgate::test::readFile(theirs));
    QCOMPARE(store.read(section, key), value);
}

void TestSettings::unwritableStoreIsReported_data()
{
    QTest::addColumn<QString>("locked");
    QTest::newRow("a folder where the file should be") << QString();
    QTest::newRow("folder cannot change") << m_dir.path();
    QTest::newRow("file cannot be replaced") << iniPath();
}

// A failed write says so, and the file holds what it held.
void TestSettings::unwritableStoreIsReported()
{
    QFETCH(QString, locked);
    if (locked.isEmpty()) {
        // A folder where the file should be makes every write fail, even for root.
        QVERIFY(QDir().mkpath(iniPath()));
        SettingsStore store(iniPath());
        QVERIFY(!store.write(SettingKey::HelpVersion, QStringLiteral("4")));
        QVERIFY(QDir(iniPath()).removeRecursively());
        return;
    }
    const QByteArray before = "; kept\n[Freshgate]\nHelp%20file%20version=3\n";
    writeIni(before);
    SettingsStore store(iniPath());
    QCOMPARE(store.read(SettingKey::HelpVersion), QStringLiteral("3"));
    {
        const Immutable guard(locked);
        if (!guard.isSet()) {
            QSKIP("chattr +i is not available here (needs root and a file system that has it)");
        }
        QVERIFY(!store.write(SettingKey::HelpVersion, QStringLiteral("4")));
    }
    QCOMPARE(readIniBytes(), before);
    QCOMPARE(store.read(SettingKey::HelpVersion), QStringLiteral("3"));
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("orvane.ini")});
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
