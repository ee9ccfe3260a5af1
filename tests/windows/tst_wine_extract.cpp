// The cabinet extractor on Windows, on cabinets gcab made on the Linux side: FRESHGATE_CABINETS
// names a folder holding source/ (the files), mszip.cab and stored.cab (all of source/), and
// truncated.cab (mszip.cab cut short). They are unpacked into a product folder whose name no
// single ANSI code page spells, so only wide file names reach it.
#include "install/Installer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;

namespace {

using Tree = QMap<QString, QByteArray>;

Tree files(const QString &root)
{
    Tree tree;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        tree.insert(QDir(root).relativeFilePath(path),
                    file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>"));
    }
    return tree;
}

QString cabinets()
{
    return qEnvironmentVariable("FRESHGATE_CABINETS");
}

} // namespace

class TestWineExtract : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(
            QFile::exists(cabinets() + QStringLiteral("/mszip.cab")),
            qPrintable(QStringLiteral("no cabinets in FRESHGATE_CABINETS (%1)").arg(cabinets())));
        QVERIFY(!files(cabinets() + QStringLiteral("/source")).isEmpty());
    }

    void extracts_data()
    {
        QTest::addColumn<QString>("cabinet");
        QTest::addColumn<bool>("ok");
        QTest::newRow("MSZIP") << QStringLiteral("mszip.cab") << true;
        QTest::newRow("stored") << QStringLiteral("stored.cab") << true;
        QTest::newRow("truncated changes nothing") << QStringLiteral("truncated.cab") << false;
    }

    void extracts()
    {
        QFETCH(QString, cabinet);
        QFETCH(bool, ok);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString app = dir.filePath(QStringLiteral("Prodüct Ørvane 更新"));
        const QString work = app + QStringLiteral("/Freshgate");
        const QString data = app + QStringLiteral("/Data");
        QVERIFY(QDir().mkpath(work));
        QVERIFY(QDir().mkpath(data));
        QFile old(data + QStringLiteral("/prices.dat"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        QVERIFY(old.write("old prices") == 10);
        old.close();
        const QString copy = work + u'/' + cabinet;
        QVERIFY(QFile::copy(cabinets() + u'/' + cabinet, copy));
        const Tree before = files(data);

        if (!ok) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("^cannot install ")));
        }
        Installer installer(work, [](const VersionRecord &) { return Status(); });
        const Result<Installed> result = installer.install({copy, data, {}, {}, std::nullopt});

        QCOMPARE(result.ok(), ok);
        Tree expected = ok ? files(cabinets() + QStringLiteral("/source")) : before;
        if (ok && !expected.contains(QStringLiteral("prices.dat"))) {
            expected.insert(QStringLiteral("prices.dat"), "old prices");
        }
        QCOMPARE(files(data), expected);
        // Nothing of the extractor's own is left in the work folder.
        QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{cabinet});
    }
};

QTEST_GUILESS_MAIN(TestWineExtract)
#include "tst_wine_extract.moc"
