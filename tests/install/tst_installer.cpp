#include "base/DurableFile.h"
#include "install/Installer.h"
#include "install/OwnFolders.h"
#include "install/Recovery.h"
#include "install/Transaction.h"
#include "platform/CabinetExtractor.h"
#include "support/CabBuilder.h"
#include "support/FaultyFileSystem.h"
#include "support/Files.h"
#include "support/Immutable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;
using namespace freshgate::test;
using namespace Qt::StringLiterals;

using Members = QList<CabMember>;
using Tree = QMap<QString, QByteArray>;

namespace {

void expectFailureLogged()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^cannot install "_s));
}

// An installation of one cabinet into one folder, as the update run asks for it.
struct Extractor {
    Extractor(QString workFolder, QString cabinetFile, FileSystem *fileSystem = &FileSystem::real())
        : work(std::move(workFolder)), cabinet(std::move(cabinetFile)), files(fileSystem)
    {
    }

    QString work;
    QString cabinet;
    FileSystem *files;

    Result<Installed> extract(const QString &destination, const QStringList &alsoRemove = {})
    {
        Installer installer(
            work, [](const VersionRecord &) { return Status(); }, *files);
        return installer.install({cabinet, destination, alsoRemove, {}, std::nullopt});
    }
};

// The product's folder with the work folder inside it, as the updater lays them out.
struct Layout {
    QTemporaryDir dir;
    QString root = dir.path();
    QString app;
    QString work;

    explicit Layout(const QString &product = u"app"_s)
        : app(root + u'/' + product), work(app + u"/Freshgate"_s)
    {
        QDir().mkpath(work);
    }
    QString inApp(const QString &rel) const { return app + u'/' + rel; }
    QString inWork(const QString &rel) const { return work + u'/' + rel; }
    bool workIsClean() const
    {
        return !QFileInfo::exists(inWork(u"~staging"_s)) && journalsIn(toPath(work)).isEmpty() &&
               QDir(work).entryList({u"~backup*"_s}, QDir::AllEntries | QDir::Hidden).isEmpty();
    }
};

} // namespace

class TestInstaller : public QObject {
    Q_OBJECT

private slots:
    void extractsGcabCabinet_data();
    void extractsGcabCabinet();
    void replacesExistingFiles();
    void executableFlag();
    void stagedNameTaken_data();
    void stagedNameTaken();
    void memberNameEncoding_data();
    void memberNameEncoding();
    void hostileNamesWriteNothing_data();
    void hostileNamesWriteNothing();
    void brokenCabinetsChangeNothing_data();
    void brokenCabinetsChangeNothing();
    void unwritableDestination_data();
    void unwritableDestination();
    void moveFailureRollsBack_data();
    void moveFailureRollsBack();
    void alsoRemove_data();
    void alsoRemove();
    void acrossFileSystems();
    void clearsLeftoversOfACrashedRun();
    void extractsIntoItsOwnWorkFolder();
    void symbolicLinks_data();
    void symbolicLinks();
    void failureIsUndoneAtOnce_data();
    void failureIsUndoneAtOnce();
    void unrecordableVersionIsUndone();
    void recoveryAfterACrash_data();
    void recoveryAfterACrash();
    void unreadableJournalKeepsTheBackups_data();
    void unreadableJournalKeepsTheBackups();
    void newFolderComesInWhole_data();
    void newFolderComesInWhole();
    void olderJournalsStillRecover_data();
    void olderJournalsStillRecover();
};

void TestInstaller::extractsGcabCabinet_data()
{
    QTest::addColumn<CabCompression>("compression");
    QTest::addColumn<QString>("product");
    QTest::newRow("MSZIP") << CabCompression::MsZip << u"app"_s;
    QTest::newRow("stored") << CabCompression::None << u"app"_s;
    // Outside every ANSI code page at once: only wide file names reach it on Windows.
    QTest::newRow("non-ASCII product folder") << CabCompression::MsZip << u"Prodüct Ørvane 更新"_s;
}

void TestInstaller::extractsGcabCabinet()
{
    QFETCH(CabCompression, compression);
    QFETCH(QString, product);
    Layout layout(product);
    const QString source = layout.root + u"/source"_s;
    QByteArray compressible;
    for (int i = 0; i < 40000; ++i) {
        compressible += "row " + QByteArray::number(i % 977) + '\n';
    }
    QVERIFY(writeFile(source + u"/Orvane4.res"_s, randomBytes(300000, 1)));
    QVERIFY(writeFile(source + u"/readme.txt"_s, "hello\r\n"));
    QVERIFY(writeFile(source + u"/empty.dat"_s, {}));
    QVERIFY(writeFile(source + u"/tables/big.bin"_s, compressible + randomBytes(70000, 2)));
    QVERIFY(writeFile(source + u"/tables/small.bin"_s, "x"));
    // Too large to be held in memory: written as it is decoded.
    QVERIFY(writeFile(source + u"/tables/huge.bin"_s, compressible + randomBytes(600000, 3)));
    QVERIFY(writeFile(source + u"/help/a/b/c/deep.txt"_s, "deep"));
    const QString cab = layout.inWork(u"datafile.cab"_s);
    QString error;
    QVERIFY2(makeCabinetWithGcab(source, cab, compression, &error), qPrintable(error));

    QLoggingCategory::setFilterRules(u"freshgate.cabinet.info=true"_s);
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(u"^extracted 7 members of .*datafile.cab.* ms$"_s));
    Extractor extractor{layout.work, cab};
    const QString destination = layout.inApp(u"Data/nested"_s); // neither exists yet
    const Result<Installed> result = extractor.extract(destination);
    QLoggingCategory::setFilterRules(u"freshgate.cabinet.info=false"_s);

    QVERIFY2(result.ok(), qPrintable(result.message()));
    QVERIFY(result.message().isEmpty());
    QCOMPARE(result->members, 7);
    QCOMPARE(snapshotTree(destination), snapshotTree(source));
    QCOMPARE(snapshotTree(layout.work).keys(), QStringList{u"datafile.cab"_s});
}

void TestInstaller::replacesExistingFiles()
{
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"Orvane4.res"_s), "old resource"));
    QVERIFY(writeFile(layout.inApp(u"keep.txt"_s), "untouched"));
    QVERIFY(writeFile(layout.inApp(u"Data/old.dat"_s), "old data"));
    QVERIFY(writeFile(layout.inApp(u"Data/keep.dat"_s), "untouched too"));
    QVERIFY(QFile::link(u"keep.txt"_s, layout.inApp(u"link.txt"_s)));
    const QString cab = layout.inWork(u"resfile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"Orvane4.res", "new resource"},
                               {"Data\\old.dat", "new data"},
                               {"Data\\new.dat", "brand new"},
                               {"link.txt", "a file now"}}));
    Tree expected = snapshotTree(layout.app);
    expected[u"Orvane4.res"_s] = "file:new resource";
    expected[u"Data/old.dat"_s] = "file:new data";
    expected[u"Data/new.dat"_s] = "file:brand new";
    expected[u"link.txt"_s] = "file:a file now";

    Extractor extractor{layout.work, cab};
    const Result<Installed> result = extractor.extract(layout.app);

    QVERIFY2(result.ok(), qPrintable(result.message()));
    QCOMPARE(result->members, 4);
    QCOMPARE(snapshotTree(layout.app), expected);
    QCOMPARE(readFile(layout.inApp(u"keep.txt"_s)),
             "untouched"); // the link replaced, not its target
}

void TestInstaller::executableFlag()
{
    Layout layout;
    const QString cab = layout.inWork(u"exefile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"Orvane4.exe", "program", kCabAttribExec},
                               {"bin\\tool", "tool", kCabAttribExec},
                               {"bin\\large", randomBytes(700000, 4), kCabAttribExec},
                               {"notes.txt", "text", 0}}));
    Extractor extractor{layout.work, cab};
    const Result<Installed> result = extractor.extract(layout.app);
    QVERIFY2(result.ok(), qPrintable(result.message()));

    const auto executableWhereReadable = [](const QString &path) {
        const QFileDevice::Permissions p = QFileInfo(path).permissions();
        return p.testFlag(QFileDevice::ExeOwner) == p.testFlag(QFileDevice::ReadOwner) &&
               p.testFlag(QFileDevice::ExeGroup) == p.testFlag(QFileDevice::ReadGroup) &&
               p.testFlag(QFileDevice::ExeOther) == p.testFlag(QFileDevice::ReadOther);
    };
    QVERIFY(QFileInfo(layout.inApp(u"Orvane4.exe"_s)).isExecutable());
    QVERIFY(executableWhereReadable(layout.inApp(u"Orvane4.exe"_s)));
    QVERIFY(executableWhereReadable(layout.inApp(u"bin/tool"_s)));
    QVERIFY(QFileInfo(layout.inApp(u"bin/large"_s)).isExecutable());
    QVERIFY(executableWhereReadable(layout.inApp(u"bin/large"_s)));
    const QFileDevice::Permissions plain = QFileInfo(layout.inApp(u"notes.txt"_s)).permissions();
    QVERIFY(!(plain & (QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther)));
}

// A staged file is made anew: one already there under its name fails the extraction as this
// computer's fault, names it and stays as it was, whether the member was held in memory and
// written on the writer's thread or written as it was decoded, and however many came before.
void TestInstaller::stagedNameTaken_data()
{
    QTest::addColumn<int>("before"); // members ahead of the one whose name is taken
    QTest::addColumn<int>("size");
    QTest::newRow("a small member") << 0 << 100;
    QTest::newRow("a large member") << 0 << 700000;
    QTest::newRow("a small member after many") << 300 << 100;
}

void TestInstaller::stagedNameTaken()
{
    QFETCH(int, before);
    QFETCH(int, size);
    Layout layout;
    Members members;
    for (int i = 0; i < before; ++i) {
        members.append({"a\\f" + QByteArray::number(i), randomBytes(200, i)});
    }
    members.append({"b\\taken.dat", randomBytes(size, 7)});
    const QString cab = layout.inWork(u"datafile.cab"_s);
    QVERIFY(writeCabinet(cab, members));
    const QString staging = layout.inWork(u"~staging"_s);
    QVERIFY(writeFile(staging + u"/b/taken.dat"_s, "already here"));

    CabinetExtractor extractor;
    extractor.setCabinetFile(cab);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^cannot extract "_s));
    const Result<std::vector<StagedMember>> result = extractor.extract(staging);

    QVERIFY(!result.ok());
    QCOMPARE(result.kind(), FailureKind::Disk);
    QVERIFY2(result.message().contains(u"taken.dat"_s), qPrintable(result.message()));
    QCOMPARE(readFile(staging + u"/b/taken.dat"_s), "already here");
}

void TestInstaller::memberNameEncoding_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("attributes");
    QTest::addColumn<QString>("expected"); // empty: refused

    QTest::newRow("Latin-1") << QByteArray("caf\xe9.txt") << 0 << u"café.txt"_s;
    QTest::newRow("Latin-1 nested") << QByteArray("r\xe9p\\f\xfb.txt") << 0 << u"rép/fû.txt"_s;
    QTest::newRow("UTF-8 flagged")
        << QByteArray("caf\xc3\xa9.txt") << static_cast<int>(kCabAttribUtf8Name) << u"café.txt"_s;
    QTest::newRow("UTF-8 not flagged is Latin-1")
        << QByteArray("caf\xc3\xa9.txt") << 0 << u"caf\u00c3\u00a9.txt"_s;
    QTest::newRow("CJK flagged") << QByteArray("\xe6\x9b\xb4\xe6\x96\xb0.dat")
                                 << static_cast<int>(kCabAttribUtf8Name) << u"\u66f4\u65b0.dat"_s;
    QTest::newRow("broken UTF-8 flagged")
        << QByteArray("caf\xe9.txt") << static_cast<int>(kCabAttribUtf8Name) << QString();
}

void TestInstaller::memberNameEncoding()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, attributes);
    QFETCH(QString, expected);
    Layout layout;
    const QString cab = layout.inWork(u"names.cab"_s);
    QVERIFY(writeCabinet(cab, {{"first.txt", "1"}, {stored, "named", quint16(attributes)}}));
    const Tree before = snapshotTree(layout.root);

    Extractor extractor{layout.work, cab};
    if (expected.isEmpty()) {
        expectFailureLogged();
    }
    const Result<Installed> result = extractor.extract(layout.app);

    QCOMPARE(result.ok(), !expected.isEmpty());
    if (expected.isEmpty()) {
        QVERIFY(result.message().contains(u"UTF-8"_s));
        QCOMPARE(snapshotTree(layout.root), before);
    } else {
        QCOMPARE(readFile(layout.inApp(expected)), "named");
    }
}

void TestInstaller::hostileNamesWriteNothing_data()
{
    QTest::addColumn<QByteArray>("hostile");
    QTest::addColumn<bool>("intoWorkFolder");

    QTest::newRow("parent") << QByteArray("..\\evil") << false;
    QTest::newRow("absolute backslash") << QByteArray("\\abs") << false;
    QTest::newRow("climbs out in the middle") << QByteArray("a\\..\\..\\b") << false;
    QTest::newRow("drive absolute") << QByteArray("C:\\x") << false;
    QTest::newRow("drive relative") << QByteArray("C:x") << false;
    QTest::newRow("UNC") << QByteArray("\\\\server\\share\\x") << false;
    QTest::newRow("device prefix") << QByteArray("\\\\?\\C:\\x") << false;
    QTest::newRow("trailing separator") << QByteArray("folder\\") << false;
    QTest::newRow("invalid character") << QByteArray("a|b.txt") << false;
    QTest::newRow("device name") << QByteArray("nul.txt") << false;
    QTest::newRow("into the staging folder") << QByteArray("~staging\\0") << true;
    QTest::newRow("into the backup folder") << QByteArray("~backup\\x") << true;
}

void TestInstaller::hostileNamesWriteNothing()
{
    QFETCH(QByteArray, hostile);
    QFETCH(bool, intoWorkFolder);
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"first.txt"_s), "old first"));
    const QString cab = layout.inWork(u"hostile.cab"_s);
    QVERIFY(
        writeCabinet(cab, {{"first.txt", "new first"}, {hostile, "payload"}, {"last.txt", "x"}}));
    const Tree before = snapshotTree(layout.root);

    Extractor extractor{layout.work, cab};
    expectFailureLogged();
    const Result<Installed> result = extractor.extract(intoWorkFolder ? layout.work : layout.app);

    QVERIFY(!result.ok());
    QVERIFY2(result.message().contains(u"refused"_s) || result.message().contains(u"own folders"_s),
             qPrintable(result.message()));
    QCOMPARE(snapshotTree(layout.root), before);
}

enum class Damage { Truncated, CutToHeader, Corrupt, NotACabinet, Empty, Missing, Folder, Spanned };

void TestInstaller::brokenCabinetsChangeNothing_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QString>("reason");

    QTest::newRow("truncated") << Damage::Truncated << u"states"_s;
    QTest::newRow("cut to the header") << Damage::CutToHeader << QString();
    QTest::newRow("corrupt data") << Damage::Corrupt << u"member"_s;
    QTest::newRow("not a cabinet") << Damage::NotACabinet << u"not a cabinet"_s;
    QTest::newRow("empty file") << Damage::Empty << QString();
    QTest::newRow("missing") << Damage::Missing << u"does not exist"_s;
    QTest::newRow("a folder") << Damage::Folder << u"not a file"_s;
    QTest::newRow("spanned set") << Damage::Spanned << u"spanned"_s;
}

void TestInstaller::brokenCabinetsChangeNothing()
{
    QFETCH(Damage, damage);
    QFETCH(QString, reason);
    Layout layout;
    Members members;
    for (int i = 0; i < 4; ++i) {
        const QByteArray name = "part" + QByteArray::number(i) + ".bin";
        members.append({name, randomBytes(100000, static_cast<quint32>(10 + i))});
        if (i < 3) {
            QVERIFY(writeFile(layout.inApp(QString::fromLatin1(name)), "old " + name));
        }
    }
    const QString cab = layout.inWork(u"broken.cab"_s);
    QVERIFY(writeCabinet(cab, members));
    const qint64 size = QFileInfo(cab).size();
    switch (damage) {
    case Damage::Truncated:
        QVERIFY(truncateFile(cab, size * 2 / 3));
        break;
    case Damage::CutToHeader:
        QVERIFY(truncateFile(cab, 20));
        break;
    case Damage::Corrupt:
        QVERIFY(corruptBytes(cab, 8));
        break;
    case Damage::NotACabinet:
        QVERIFY(writeFile(cab, "<html>404 Not Found</html>\n"));
        break;
    case Damage::Empty:
        QVERIFY(truncateFile(cab, 0));
        break;
    case Damage::Missing:
        QVERIFY(QFile::remove(cab));
        break;
    case Damage::Folder:
        QVERIFY(QFile::remove(cab) && QDir().mkdir(cab));
        break;
    case Damage::Spanned: {
        QString error;
        QVERIFY2(markSpanned(cab, &error), qPrintable(error));
        break;
    }
    }
    const Tree before = snapshotTree(layout.root);

    Extractor extractor{layout.work, cab};
    expectFailureLogged();
    const Result<Installed> result = extractor.extract(layout.app);

    QVERIFY(!result.ok());
    QVERIFY(!result.message().isEmpty());
    QVERIFY2(result.message().contains(reason), qPrintable(result.message()));
    // The window tells a damaged download from a file system that let the install down.
    const bool fileSystem = damage == Damage::Missing || damage == Damage::Folder;
    QCOMPARE(result.kind(), fileSystem ? FailureKind::Disk : FailureKind::Archive);
    QCOMPARE(snapshotTree(layout.root), before);
}

void TestInstaller::unwritableDestination_data()
{
    QTest::addColumn<QString>("immutable");
    QTest::newRow("the destination") << u""_s;
    QTest::newRow("a folder reached after other members") << u"Data"_s;
}

void TestInstaller::unwritableDestination()
{
    QFETCH(QString, immutable);
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"a.txt"_s), "old a"));
    QVERIFY(writeFile(layout.inApp(u"Data/x.dat"_s), "old x"));
    const QString cab = layout.inWork(u"datafile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"a.txt", "new a"},
                               {"new.txt", "new"},
                               {"fresh\\y.txt", "y"},
                               {"Data\\x.dat", "new x"},
                               {"Data\\y.dat", "new y"}}));
    const Tree before = snapshotTree(layout.root);

    Result<Installed> result = failure(FailureKind::Disk, {});
    {
        const Immutable guard(immutable.isEmpty() ? layout.app : layout.inApp(immutable));
        if (!guard.isSet()) {
            QSKIP("chattr +i is not available here (needs root and a file system that has it)");
        }
        Extractor extractor{layout.work, cab};
        expectFailureLogged();
        result = extractor.extract(layout.app);
    }
    QVERIFY(!result.ok());
    QVERIFY2(!result.message().contains(u"could not undo"_s), qPrintable(result.message()));
    QCOMPARE(snapshotTree(layout.root), before);
}

void TestInstaller::moveFailureRollsBack_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("obstacleIsFolder");
    QTest::addColumn<QByteArray>("blockedMember");

    QTest::newRow("folder where a file goes")
        << u"z.txt/inner.txt"_s << true << QByteArray("z.txt");
    QTest::newRow("file where a folder goes")
        << u"sub"_s << false << QByteArray("sub\\deeper\\d.txt");
}

void TestInstaller::moveFailureRollsBack()
{
    QFETCH(QString, obstacle);
    QFETCH(bool, obstacleIsFolder);
    QFETCH(QByteArray, blockedMember);
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"a.txt"_s), "old a"));
    QVERIFY(writeFile(layout.inApp(u"Data/b.txt"_s), "old b"));
    QVERIFY(writeFile(layout.inApp(obstacle), obstacleIsFolder ? "inner" : "a file"));
    const QString cab = layout.inWork(u"datafile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"a.txt", "new a"},
                               {"Data\\b.txt", "new b"},
                               {"new.txt", "new"},
                               {"fresh\\deep\\c.txt", "c"},
                               {blockedMember, "blocked"},
                               {"after.txt", "never"}}));
    const Tree before = snapshotTree(layout.root);

    Extractor extractor{layout.work, cab};
    expectFailureLogged();
    const Result<Installed> result = extractor.extract(layout.app);

    QVERIFY(!result.ok());
    QVERIFY2(result.message().contains(u"in the way"_s), qPrintable(result.message()));
    QCOMPARE(result.kind(), FailureKind::Disk);
    QCOMPARE(snapshotTree(layout.root), before);
}

void TestInstaller::alsoRemove_data()
{
    QTest::addColumn<Members>("members");
    QTest::addColumn<bool>("oldExists");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("program"); // what Orvane4.exe holds afterwards; empty: gone

    const QByteArray absent;
    QTest::newRow("removed on success")
        << Members{{"Orvane4.dll", "dll"}} << true << true << absent;
    QTest::newRow("replaced by the patch")
        << Members{{"Orvane4.exe", "new program"}} << true << true << QByteArray("new program");
    QTest::newRow("already missing is fine")
        << Members{{"Orvane4.exe", "new program"}} << false << true << QByteArray("new program");
    QTest::newRow("kept when the patch fails")
        << Members{{"Orvane4.exe", "new program"}, {"blocked", "x"}} << true << false
        << QByteArray("old program");
}

void TestInstaller::alsoRemove()
{
    QFETCH(Members, members);
    QFETCH(bool, oldExists);
    QFETCH(bool, ok);
    QFETCH(QByteArray, program);
    Layout layout;
    if (oldExists) {
        QVERIFY(writeFile(layout.inApp(u"Orvane4.exe"_s), "old program"));
    }
    QVERIFY(writeFile(layout.inApp(u"blocked/in-the-way.txt"_s), "a folder"));
    const QString cab = layout.inWork(u"exefile.cab"_s);
    QVERIFY(writeCabinet(cab, members));
    const Tree before = snapshotTree(layout.root);

    Extractor extractor{layout.work, cab};
    if (!ok) {
        expectFailureLogged();
    }
    const Result<Installed> result =
        extractor.extract(layout.app, {u"Orvane4.exe"_s, u"Missing.exe"_s});

    QCOMPARE(result.ok(), ok);
    QCOMPARE(QFileInfo::exists(layout.inApp(u"Orvane4.exe"_s)), !program.isEmpty());
    QCOMPARE(readFile(layout.inApp(u"Orvane4.exe"_s)), program);
    if (!ok) {
        QCOMPARE(snapshotTree(layout.root), before);
    }
    QVERIFY(layout.workIsClean());
}

void TestInstaller::acrossFileSystems()
{
    QTemporaryDir fastWork(u"/dev/shm/freshgate-work-XXXXXX"_s);
    Layout layout;
    if (!fastWork.isValid() ||
        QStorageInfo(fastWork.path()).device() == QStorageInfo(layout.app).device()) {
        QSKIP("needs /dev/shm on a file system of its own");
    }

    QVERIFY(writeFile(layout.inApp(u"a.txt"_s), "old a"));
    QVERIFY(writeFile(layout.inApp(u"Orvane4.exe"_s), "old program"));
    const QString good = fastWork.filePath(u"good.cab"_s);
    QVERIFY(writeCabinet(good, {{"a.txt", "new a"}, {"sub\\b.txt", "b", kCabAttribExec}}));
    const QString bad = fastWork.filePath(u"bad.cab"_s);
    QVERIFY(writeCabinet(bad, {{"a.txt", "newer a"}, {"sub", "in the way"}}));

    Extractor extractor{fastWork.path(), good};
    Result<Installed> result = extractor.extract(layout.app, {u"Orvane4.exe"_s});
    QVERIFY2(result.ok(), qPrintable(result.message()));
    QCOMPARE(readFile(layout.inApp(u"a.txt"_s)), "new a");
    QCOMPARE(readFile(layout.inApp(u"sub/b.txt"_s)), "b");
    QVERIFY(QFileInfo(layout.inApp(u"sub/b.txt"_s)).isExecutable());
    QVERIFY(!QFileInfo::exists(layout.inApp(u"Orvane4.exe"_s)));

    const Tree before = snapshotTree(layout.root);
    extractor.cabinet = bad;
    expectFailureLogged();
    result = extractor.extract(layout.app);
    QVERIFY(!result.ok());
    QCOMPARE(snapshotTree(layout.root), before);
    QCOMPARE(QDir(fastWork.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({u"bad.cab"_s, u"good.cab"_s}));
}

void TestInstaller::clearsLeftoversOfACrashedRun()
{
    Layout layout;
    QVERIFY(writeFile(layout.inWork(u"~staging/0"_s), "stale member"));
    const QString cab = layout.inWork(u"resfile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"a.txt", "a"}}));

    Extractor extractor{layout.work, cab};
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(u"~staging left by an interrupted run"_s));
    const Result<Installed> result = extractor.extract(layout.app);

    QVERIFY2(result.ok(), qPrintable(result.message()));
    QCOMPARE(readFile(layout.inApp(u"a.txt"_s)), "a");
    QVERIFY(layout.workIsClean());
}

void TestInstaller::extractsIntoItsOwnWorkFolder()
{
    Layout layout;
    const QString cab = layout.inWork(u"fullexefile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"setup.exe", "installer", kCabAttribExec},
                               {"setup\\data.bin", "data"},
                               {"fullexefile.cab", "the package replaces itself"}}));

    Extractor extractor{layout.work, cab};
    const Result<Installed> result = extractor.extract(layout.work);

    QVERIFY2(result.ok(), qPrintable(result.message()));
    QCOMPARE(readFile(layout.inWork(u"setup.exe"_s)), "installer");
    QCOMPARE(readFile(layout.inWork(u"setup/data.bin"_s)), "data");
    QCOMPARE(readFile(cab), "the package replaces itself");
    QVERIFY(layout.workIsClean());
}

void TestInstaller::symbolicLinks_data()
{
    QTest::addColumn<QString>("link");   // below the application folder
    QTest::addColumn<QString>("target"); // below the test's root; empty: the link leads nowhere
    QTest::addColumn<QByteArray>("member");
    QTest::addColumn<QString>("landsAt"); // below the root; empty: refused
    QTest::addColumn<QString>("reason");

    QTest::newRow("folder link out of the target")
        << u"Data/plugins"_s << u"elsewhere"_s << QByteArray("plugins\\evil.so") << QString()
        << u"out of the destination"_s;
    QTest::newRow("deeper below a link out")
        << u"Data/plugins"_s << u"elsewhere"_s << QByteArray("plugins\\sub\\evil.so") << QString()
        << u"out of the destination"_s;
    QTest::newRow("link to the folder above the target")
        << u"Data/up"_s << u"app"_s << QByteArray("up\\Orvane4.exe") << QString()
        << u"out of the destination"_s;
    QTest::newRow("link into the work folder")
        << u"Data/work"_s << u"app/Freshgate"_s << QByteArray("work\\evil.dat") << QString()
        << u"out of the destination"_s;
    QTest::newRow("link that leads nowhere")
        << u"Data/gone"_s << QString() << QByteArray("gone\\x.dat") << QString()
        << u"link to no folder"_s;
    // A link that stays inside the target is the product's own layout: followed.
    QTest::newRow("link inside to a folder inside")
        << u"Data/current"_s << u"app/Data/v2"_s << QByteArray("current\\x.dat")
        << u"app/Data/v2/x.dat"_s << QString();
}

void TestInstaller::symbolicLinks()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(QByteArray, member);
    QFETCH(QString, landsAt);
    QFETCH(QString, reason);
    Layout layout;
    QVERIFY(writeFile(layout.root + u"/elsewhere/keep.txt"_s, "outside"));
    QVERIFY(writeFile(layout.inApp(u"Data/v2/old.dat"_s), "old"));
    QVERIFY(writeFile(layout.inApp(u"Data/a.dat"_s), "old a"));
    QVERIFY(
        QFile::link(target.isEmpty() ? layout.root + u"/missing"_s : layout.root + u'/' + target,
                    layout.inApp(link)));
    const QString cab = layout.inWork(u"datafile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"a.dat", "new a"}, {member, "payload"}}));
    const Tree before = snapshotTree(layout.root);

    Extractor extractor{layout.work, cab};
    if (landsAt.isEmpty()) {
        expectFailureLogged();
    }
    const Result<Installed> result = extractor.extract(layout.inApp(u"Data"_s));

    QCOMPARE(result.ok(), !landsAt.isEmpty());
    if (landsAt.isEmpty()) {
        QVERIFY2(result.message().contains(reason), qPrintable(result.message()));
        QCOMPARE(snapshotTree(layout.root), before);
        return;
    }
    QVERIFY2(result.ok(), qPrintable(result.message()));
    QCOMPARE(readFile(layout.root + u'/' + landsAt), "payload");
    QCOMPARE(readFile(layout.inApp(u"Data/a.dat"_s)), "new a");
    QVERIFY(QFileInfo(layout.inApp(link)).isSymLink());
    QVERIFY(layout.workIsClean());
}

using Op = FaultyFileSystem::Op;

// A folder that refuses what the install asks of it at some step, as a read-only mount, a
// locked file or an access list would. What was done is undone at once, the failure says why
// and where, nothing is left to stand in the way of the next installation, and only an undo
// that is refused too leaves its journal for the next start, which then finishes the undo.
void TestInstaller::failureIsUndoneAtOnce_data()
{
    QTest::addColumn<Op>("op");
    QTest::addColumn<int>("nth");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("everyAfter");
    QTest::addColumn<FailureKind>("kind");
    QTest::addColumn<bool>("waits");

    const int readOnly = static_cast<int>(std::errc::read_only_file_system);
    const int denied = static_cast<int>(std::errc::permission_denied);
    QTest::newRow("the first file cannot be put in place")
        << Op::Rename << 1 << readOnly << true << FailureKind::ReadOnly << false;
    QTest::newRow("a later file cannot be put in place")
        << Op::Rename << 3 << denied << false << FailureKind::Denied << false;
    QTest::newRow("a new folder cannot be made")
        << Op::CreateFolder << 1 << denied << false << FailureKind::Denied << false;
    QTest::newRow("no second name, and no copy either")
        << Op::Copy << 1 << static_cast<int>(std::errc::no_space_on_device) << true
        << FailureKind::NoSpace << false;
    QTest::newRow("the undo refused too")
        << Op::Rename << 3 << readOnly << true << FailureKind::ReadOnly << true;
}

void TestInstaller::failureIsUndoneAtOnce()
{
    QFETCH(Op, op);
    QFETCH(int, nth);
    QFETCH(int, error);
    QFETCH(bool, everyAfter);
    QFETCH(FailureKind, kind);
    QFETCH(bool, waits);
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"Data/a.dat"_s), "old a"));
    QVERIFY(writeFile(layout.inApp(u"Data/b.dat"_s), "old b"));
    QVERIFY(writeFile(layout.inApp(u"Data/c.dat"_s), "old c"));
    const QString cab = layout.inWork(u"datafile.cab"_s);
    // "A.DAT" meets "a.dat" as Windows compares names, so the members are staged numbered and
    // maps/ is made as a folder of its own rather than moved in whole.
    QVERIFY(writeCabinet(cab, {{"a.dat", "new a"},
                               {"b.dat", "new b"},
                               {"c.dat", "new c"},
                               {"maps\\north.dat", "new"},
                               {"A.DAT", "new A"}}));
    const Tree before = snapshotTree(layout.app);

    // A copy is only tried where the file system has no links.
    FaultyFileSystem files(op, nth, static_cast<std::errc>(error), everyAfter, op == Op::Copy);
    Extractor extractor{layout.work, cab, &files};
    expectFailureLogged();
    const Result<Installed> result = extractor.extract(layout.inApp(u"Data"_s));

    QVERIFY(!result.ok());
    QCOMPARE(result.kind(), kind);
    QCOMPARE(result.failure().path, QDir::toNativeSeparators(layout.inApp(u"Data"_s)));
    QCOMPARE(result.message().contains(u"waits for the next start"_s), waits);
    QCOMPARE(journalsIn(toPath(layout.work)).size(), waits ? 1 : 0);
    if (waits) {
        // The next start finishes the undo, once the folder lets it.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^undid the installation"_s));
        const QList<Recovered> outcomes = recoverInstallations(
            toPath(layout.work), [](const VersionRecord &) { return Status(); });
        QCOMPARE(outcomes.value(0).what, Recovery::RolledBack);
    }
    QCOMPARE(snapshotTree(layout.app), before);
    QVERIFY(layout.workIsClean());

    // Nothing stands in the way of the next installation.
    Extractor again{layout.work, cab};
    const Result<Installed> second = again.extract(layout.inApp(u"Data"_s));
    QVERIFY2(second.ok(), qPrintable(second.message()));
    QCOMPARE(readFile(layout.inApp(u"Data/maps/north.dat"_s)), "new");
}

// A version that cannot be recorded after all undoes its installation at once, and the failure
// names the settings, not the folder.
void TestInstaller::unrecordableVersionIsUndone()
{
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"Orvane4.exe"_s), "old program"));
    const QString cab = layout.inWork(u"exefile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"Orvane4.exe", "new program"}, {"new.dll", "new"}}));
    const Tree before = snapshotTree(layout.app);
    Installer installer(layout.work, [](const VersionRecord &) -> Status {
        return fileFailure(FailureKind::ReadOnly, u"/home/u/.config/Velmora Orvane4.ini"_s,
                           u"cannot write"_s, u"Read-only file system"_s);
    });
    expectFailureLogged();
    const Result<Installed> result = installer.install(
        {cab, layout.app, {}, u"Orvane4.exe"_s, VersionRecord{SettingKey::ExeVersion, 415}});

    QVERIFY(!result.ok());
    QCOMPARE(result.kind(), FailureKind::ReadOnly);
    QCOMPARE(result.failure().path, u"/home/u/.config/Velmora Orvane4.ini"_s);
    QCOMPARE(snapshotTree(layout.app).value(u"Orvane4.exe"_s), before.value(u"Orvane4.exe"_s));
    QVERIFY(!QFileInfo::exists(layout.inApp(u"new.dll"_s)));
    QVERIFY(layout.workIsClean());
}

enum class CrashedAt { Planned, OldKept, Moved, CommitCut, Committed, RecordFails };

// The transaction is taken to a point and dropped there, as a crash drops it; recovery then
// judges from the journal and the files alone. Whatever it finds, it leaves no journal behind
// to stand in the way of the next installation.
void TestInstaller::recoveryAfterACrash_data()
{
    QTest::addColumn<CrashedAt>("crashedAt");
    QTest::addColumn<Recovery>("recovery");
    QTest::addColumn<bool>("newFiles");
    QTest::addColumn<bool>("ownNames"); // staged under their own names: bin/ comes in whole

    for (const bool ownNames : {false, true}) {
        const auto row = [ownNames](const char *name) {
            return &QTest::newRow(qPrintable(QString::fromLatin1(name) +
                                             (ownNames ? u", own names"_s : u", numbered"_s)));
        };
        *row("journal written, nothing moved")
            << CrashedAt::Planned << Recovery::RolledBack << false << ownNames;
        *row("old files kept, the new ones not in place")
            << CrashedAt::OldKept << Recovery::RolledBack << false << ownNames;
        *row("every file moved, no commit mark")
            << CrashedAt::Moved << Recovery::RolledBack << false << ownNames;
        *row("commit mark cut short")
            << CrashedAt::CommitCut << Recovery::RolledBack << false << ownNames;
        *row("committed, version not recorded")
            << CrashedAt::Committed << Recovery::RolledForward << true << ownNames;
        // The files are new but their version cannot be recorded: undone, so the two agree.
        *row("committed, the store refuses the version")
            << CrashedAt::RecordFails << Recovery::RolledBack << false << ownNames;
    }
}

void TestInstaller::recoveryAfterACrash()
{
    QFETCH(CrashedAt, crashedAt);
    QFETCH(Recovery, recovery);
    QFETCH(bool, newFiles);
    QFETCH(bool, ownNames);
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"Orvane4.exe"_s), "old program"));
    QVERIFY(writeFile(layout.inApp(u"Orvane4.dll"_s), "old library"));
    QVERIFY(writeFile(layout.inApp(u"gone.txt"_s), "removed by the patch"));
    const Tree before = snapshotTree(layout.app);
    const QStringList staged =
        ownNames ? QStringList{u"Orvane4.exe"_s, u"Orvane4.dll"_s, u"bin/plug/in.so"_s}
                 : QStringList{u"0"_s, u"1"_s, u"2"_s};
    QVERIFY(writeFile(layout.inWork(u"~staging/"_s + staged[0]), "new program"));
    QVERIFY(writeFile(layout.inWork(u"~staging/"_s + staged[1]), "new library"));
    QVERIFY(writeFile(layout.inWork(u"~staging/"_s + staged[2]), "new plug-in"));
    Tree after = before;
    after.remove(u"gone.txt"_s);
    after[u"Orvane4.exe"_s] = "file:new program";
    after[u"Orvane4.dll"_s] = "file:new library";
    after[u"bin"_s] = "folder";
    after[u"bin/plug/in.so"_s] = "file:new plug-in";
    after[u"bin/plug"_s] = "folder";

    {
        Transaction transaction(toPath(layout.work), toPath(layout.app));
        QVERIFY(transaction
                    .plan({{staged[0], u"Orvane4.exe"_s},
                           {staged[1], u"Orvane4.dll"_s},
                           {staged[2], u"bin/plug/in.so"_s}},
                          {u"gone.txt"_s, u"Orvane4.exe"_s})
                    .ok());
        QCOMPARE(transaction.journal().entries.back().folder, ownNames);
        QVERIFY(transaction.begin(VersionRecord{SettingKey::ExeVersion, 415}).ok());
        if (crashedAt == CrashedAt::OldKept) {
            // The removal set aside, and the program's old file given its second name.
            const Journal &journal = transaction.journal();
            QVERIFY(QFile::rename(layout.inApp(u"gone.txt"_s), fromPath(journal.backup(0))));
            QVERIFY(QFile::link(layout.inApp(u"Orvane4.exe"_s), fromPath(journal.backup(1))) ||
                    QFile::copy(layout.inApp(u"Orvane4.exe"_s), fromPath(journal.backup(1))));
        }
        if (crashedAt >= CrashedAt::Moved) {
            QVERIFY(transaction.apply().ok());
        }
        if (crashedAt >= CrashedAt::Committed) {
            QVERIFY(transaction.commit().ok());
        }
    }
    // The program was never missing, whatever the step.
    QVERIFY(QFileInfo::exists(layout.inApp(u"Orvane4.exe"_s)));
    if (crashedAt == CrashedAt::CommitCut) {
        QFile journal(layout.inWork(u"~journal-1"_s));
        QVERIFY(journal.open(QIODevice::Append));
        QVERIFY(journal.write("commi") == 5);
    }
    QCOMPARE(readFile(layout.inApp(u"Orvane4.exe"_s)) == "new program",
             crashedAt >= CrashedAt::Moved);

    QList<VersionRecord> recorded;
    const auto record = [&](const VersionRecord &version) -> Status {
        recorded << version;
        if (crashedAt == CrashedAt::RecordFails) {
            return fileFailure(FailureKind::ReadOnly, u"/etc/orvane.ini"_s, u"cannot write"_s, {});
        }
        return {};
    };
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"interrupted"_s));
    const QList<Recovered> outcomes = recoverInstallations(toPath(layout.work), record);
    QCOMPARE(outcomes.size(), 1);
    QCOMPARE(outcomes.first().what, recovery);
    Tree expected = newFiles ? after : before;
    expected.insert(u"Freshgate"_s, "folder");
    Tree now = snapshotTree(layout.app);
    now.removeIf([](const auto &e) { return e.key().startsWith(u"Freshgate/~staging"_s); });
    QCOMPARE(now, expected);
    QCOMPARE(recorded.size(), crashedAt >= CrashedAt::Committed ? 1 : 0);
    QVERIFY(keptNames(toPath(layout.work)) == QStringList{u"~kept"_s});
    QVERIFY(recoverInstallations(toPath(layout.work), record).isEmpty());
}

void TestInstaller::unreadableJournalKeepsTheBackups_data()
{
    QTest::addColumn<QByteArray>("journal");
    QTest::newRow("garbage") << QByteArray("\x00\x17 not a journal");
    QTest::newRow("cut in the middle") << QByteArray("{\"format\":1,\"destination\":\"/x\",\"en");
    QTest::newRow("a later format")
        << QByteArray("{\"format\":4,\"destination\":\"/x\",\"entries\":[]}\n");
    QTest::newRow("target climbs out")
        << QByteArray("{\"format\":1,\"destination\":\"/x\",\"entries\":[{\"target\":"
                      "\"../etc/passwd\",\"existed\":true}]}\n");
}

void TestInstaller::unreadableJournalKeepsTheBackups()
{
    QFETCH(QByteArray, journal);
    Layout layout;
    QVERIFY(writeFile(layout.inWork(u"~journal"_s), journal));
    QVERIFY(writeFile(layout.inWork(u"~backup/0"_s), "the only copy of an old file"));
    bool called = false;

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot be used.*kept in .*~kept"_s));
    const QList<Recovered> outcomes =
        recoverInstallations(toPath(layout.work), [&](const VersionRecord &) {
            called = true;
            return Status();
        });

    QCOMPARE(outcomes.size(), 1);
    QCOMPARE(outcomes.first().what, Recovery::SetAside);
    QVERIFY(!called);
    QCOMPARE(snapshotTree(layout.work),
             (Tree{{u"~kept"_s, "folder"},
                   {u"~kept/journal-1"_s, "file:" + journal},
                   {u"~kept/backup-1"_s, "folder"},
                   {u"~kept/backup-1/0"_s, "file:the only copy of an old file"}}));
    QCOMPARE(keptNames(toPath(layout.work)), QStringList{u"~kept"_s});
}

// A folder the destination lacks comes in by one rename when the cabinet's names let its
// members be staged under their own names; into a folder that exists, or with names that meet
// as Windows compares them, each file moves on its own. The files end the same either way, and
// an install undone after the folder came in takes it out whole.
void TestInstaller::newFolderComesInWhole_data()
{
    QTest::addColumn<Members>("members");
    QTest::addColumn<QString>("existing"); // below Data/ before the install; empty: no Data/
    QTest::addColumn<int>("renames");
    QTest::addColumn<bool>("recordFails");
    QTest::addColumn<int>("failedRename"); // 0: none fails

    const Members maps{
        {"maps\\north.dat", "n"}, {"maps\\south.dat", "s"}, {"maps\\deep\\x.dat", "x"}};
    QTest::newRow("a new folder") << maps << u"a.dat"_s << 1 << false << 0;
    QTest::newRow("the destination is new itself") << maps << QString() << 1 << false << 0;
    QTest::newRow("two new folders")
        << Members{{"one\\a", "1"}, {"two\\b", "2"}, {"top", "t"}} << u"a.dat"_s << 3 << false << 0;
    // The two files each, and deep/ whole.
    QTest::newRow("into a folder that exists") << maps << u"maps/old.dat"_s << 3 << false << 0;
    QTest::newRow("names that meet as Windows compares them")
        << Members{{"maps\\North.dat", "N"}, {"maps\\north.dat", "n"}} << u"a.dat"_s << 2 << false
        << 0;
    QTest::newRow("a file named as another member's folder")
        << Members{{"Maps", "a file"}, {"maps\\n.dat", "n"}} << u"a.dat"_s << 2 << false << 0;
    // A scanner holding a staged file open, say: the folder is built file by file.
    QTest::newRow("the folder cannot be renamed whole") << maps << u"a.dat"_s << 4 << false << 1;
    // In, and out again.
    QTest::newRow("the version cannot be recorded") << maps << u"a.dat"_s << 2 << true << 0;
}

void TestInstaller::newFolderComesInWhole()
{
    QFETCH(Members, members);
    QFETCH(QString, existing);
    QFETCH(int, renames);
    QFETCH(bool, recordFails);
    QFETCH(int, failedRename);
    Layout layout;
    const QString data = layout.inApp(u"Data"_s);
    if (!existing.isEmpty()) {
        QVERIFY(writeFile(data + u'/' + existing, "old"));
    }
    const QString cab = layout.inWork(u"datafile.cab"_s);
    QVERIFY(writeCabinet(cab, members));
    const Tree before = snapshotTree(data);
    Tree expected = before;
    for (const CabMember &member : members) {
        QString rel = QString::fromLatin1(member.name).replace(u'\\', u'/');
        expected[rel] = "file:" + member.data;
        while (rel.contains(u'/')) {
            rel = rel.section(u'/', 0, -2);
            expected[rel] = "folder";
        }
    }

    FaultyFileSystem files(Op::Rename, failedRename, std::errc::permission_denied);
    Installer installer(
        layout.work,
        [recordFails](const VersionRecord &) -> Status {
            if (recordFails) {
                return fileFailure(FailureKind::ReadOnly, u"/etc/orvane.ini"_s, u"cannot write"_s,
                                   {});
            }
            return {};
        },
        files);
    if (recordFails) {
        expectFailureLogged();
    }
    const Result<Installed> result =
        installer.install({cab, data, {}, {}, VersionRecord{SettingKey::DataVersion, 2}});

    QCOMPARE(result.ok(), !recordFails);
    QCOMPARE(files.count(Op::Rename), renames);
    QCOMPARE(snapshotTree(data), recordFails ? before : expected);
    QCOMPARE(QFileInfo::exists(data), !recordFails || !existing.isEmpty());
    QVERIFY(layout.workIsClean());
}

// Journals that earlier releases left behind, one that names its version as a note (format 1)
// and one without folder entries (format 2), are finished or undone as they were written.
void TestInstaller::olderJournalsStillRecover_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<bool>("committed");

    const QByteArray note = R"("format":1,"note":"Data files version=2")";
    const QByteArray keyed = R"("format":2,"key":"Data files version","version":2)";
    QTest::newRow("format 1, committed") << note << true;
    QTest::newRow("format 1, interrupted") << note << false;
    QTest::newRow("format 2, committed") << keyed << true;
    QTest::newRow("format 2, interrupted") << keyed << false;
}

void TestInstaller::olderJournalsStillRecover()
{
    QFETCH(QByteArray, version);
    QFETCH(bool, committed);
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"a.dat"_s), "new a"));
    QVERIFY(writeFile(layout.inApp(u"b.dat"_s), "new b"));
    QVERIFY(writeFile(layout.inWork(u"~backup-1/0"_s), "old a"));
    const QByteArray journal =
        "{" + version + R"(,"work":")" + layout.work.toUtf8() + R"(","destination":")" +
        layout.app.toUtf8() +
        R"(","folders":[],"entries":[{"target":"a.dat","existed":true,"staged":"0"},)" +
        R"({"target":"b.dat","existed":false,"staged":"1"}]})" + "\n" +
        (committed ? "committed\n" : "");
    QVERIFY(writeFile(layout.inWork(u"~journal-1"_s), journal));
    QList<VersionRecord> recorded;

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"that a crash interrupted"_s));
    const QList<Recovered> outcomes =
        recoverInstallations(toPath(layout.work), [&recorded](const VersionRecord &record) {
            recorded << record;
            return Status();
        });

    QCOMPARE(outcomes.value(0).what, committed ? Recovery::RolledForward : Recovery::RolledBack);
    QCOMPARE(recorded.size(), committed ? 1 : 0);
    if (committed) {
        QCOMPARE(recorded.first(), (VersionRecord{SettingKey::DataVersion, 2}));
    }
    QCOMPARE(readFile(layout.inApp(u"a.dat"_s)), committed ? "new a" : "old a");
    QCOMPARE(QFileInfo::exists(layout.inApp(u"b.dat"_s)), committed);
    QVERIFY(layout.workIsClean());
}

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
