// The settings store on Windows, where the product keeps its settings in the registry: run on a
// private branch of its own, never the product's.
#include "settings/SettingsStore.h"

#include <QSettings>
#include <QTest>
#include <QUuid>

using namespace freshgate;

namespace {

const QString kTestsBranch = QStringLiteral("HKEY_CURRENT_USER\\Software\\Velmora Freshgate Tests");

} // namespace

class TestRegistryStore : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_name = QUuid::createUuid().toString(QUuid::WithoutBraces);
        m_branch = kTestsBranch + u'\\' + m_name;
    }

    void cleanup()
    {
        QSettings tests(kTestsBranch, QSettings::NativeFormat);
        tests.remove(m_name);
        tests.sync();
        QCOMPARE(tests.childGroups().contains(m_name), false);
    }

    void productStoreIsTheProductsBranch()
    {
        const SettingsStore store;
        QVERIFY2(store.location().endsWith(
                     QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program "
                                    "Settings\\Velmora Orvane4")),
                 qPrintable(store.location()));
        QVERIFY2(SettingsStore(m_branch).location().endsWith(m_branch),
                 qPrintable(SettingsStore(m_branch).location()));
    }

    void absentKeysReadAsDefaultsWithoutWriting_data()
    {
        QTest::addColumn<SettingKey>("key");
        QTest::addColumn<QString>("fallback");
        QTest::newRow("timeout") << SettingKey::HttpTimeout << QString();
        QTest::newRow("resource") << SettingKey::ResourceVersion << QStringLiteral("1");
        QTest::newRow("data") << SettingKey::DataVersion << QStringLiteral("1");
        QTest::newRow("help") << SettingKey::HelpVersion << QStringLiteral("1");
        QTest::newRow("exe") << SettingKey::ExeVersion << QStringLiteral("400");
        QTest::newRow("server") << SettingKey::UpdateServer << QString();
    }

    void absentKeysReadAsDefaultsWithoutWriting()
    {
        QFETCH(SettingKey, key);
        QFETCH(QString, fallback);
        const SettingsStore store(m_branch);
        QCOMPARE(store.read(key), QString());
        QCOMPARE(store.readOrDefault(key), fallback);
        QCOMPARE(raw().allKeys(), QStringList());
    }

    // Keys keep their spaces in the registry (no %20), each section is a subkey, and whatever
    // else the product keeps there stays.
    void writeReachesTheRegistry()
    {
        {
            QSettings product = raw();
            product.setValue(QStringLiteral("User preferences/HTTP timeout"), QStringLiteral("30"));
            product.setValue(QStringLiteral("Freshgate/Data files version"), QStringLiteral("2"));
        }
        {
            SettingsStore store(m_branch);
            QCOMPARE(store.read(SettingKey::HttpTimeout), QStringLiteral("30"));
            QCOMPARE(store.readOrDefault(SettingKey::DataVersion), QStringLiteral("2"));
            QVERIFY(store.write(SettingKey::ResourceVersion, QStringLiteral("3")));
            QVERIFY(store.write(SettingKey::ExeVersion, QStringLiteral("415")));
            QCOMPARE(store.read(SettingKey::ExeVersion), QStringLiteral("415"));
        }
        const QSettings after = raw();
        QCOMPARE(after.value(QStringLiteral("Freshgate/Resource file version")).toString(),
                 QStringLiteral("3"));
        QCOMPARE(after.value(QStringLiteral("Freshgate/EXE file version")).toString(),
                 QStringLiteral("415"));
        QCOMPARE(after.value(QStringLiteral("Freshgate/Data files version")).toString(),
                 QStringLiteral("2"));
        QCOMPARE(after.value(QStringLiteral("User preferences/HTTP timeout")).toString(),
                 QStringLiteral("30"));
        QCOMPARE(after.allKeys().size(), 4);
        QCOMPARE(SettingsStore(m_branch).read(SettingKey::ResourceVersion), QStringLiteral("3"));
    }

private:
    QSettings raw() const { return QSettings(m_branch, QSettings::NativeFormat); }

    QString m_name;
    QString m_branch;
};

QTEST_GUILESS_MAIN(TestRegistryStore)
#include "tst_registry_store.moc"
