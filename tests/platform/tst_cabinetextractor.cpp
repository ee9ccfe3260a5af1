#include "platform/CabinetExtractor.h"
#include "support/CabBuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
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

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void expectFailureLogged()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^cannot extract "_s));
}

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
        return !QFileInfo::exists(inWork(u"~staging"_s)) &&
               !QFileInfo::exists(inWork(u"~backup"_s));
    }
};

// chattr +i for the life of the guard; root only, and not on every file system.
struct Immutable {
    QString path;
    bool set = false;
    explicit Immutable(QString folder) : path(std::move(folder))
    {
        QProcess chattr;
        chattr.start(u"chattr"_s, {u"+i"_s, path});
        set = chattr.waitForFinished() && chattr.exitStatus() == QProcess::NormalExit &&
              chattr.exitCode() == 0;
    }
    ~Immutable()
    {
        if (set)
            QProcess::execute(u"chattr"_s, {u"-i"_s, path});
    }
    Q_DISABLE_COPY_MOVE(Immutable)
};

} // namespace

class TestCabinetExtractor : public QObject {
    Q_OBJECT

private slots:
    void extractsGcabCabinet_data();
    void extractsGcabCabinet();
    void replacesExistingFiles();
    void executableFlag();
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
};

void TestCabinetExtractor::extractsGcabCabinet_data()
{
    QTest::addColumn<CabCompression>("compression");
    QTest::addColumn<QString>("product");
    QTest::newRow("MSZIP") << CabCompression::MsZip << u"app"_s;
    QTest::newRow("stored") << CabCompression::None << u"app"_s;
    // Outside every ANSI code page at once: only wide file names reach it on Windows.
    QTest::newRow("non-ASCII product folder") << CabCompression::MsZip << u"Prodüct Ørvane 更新"_s;
}

void TestCabinetExtractor::extractsGcabCabinet()
{
    QFETCH(CabCompression, compression);
    QFETCH(QString, product);
    Layout layout(product);
    const QString source = layout.root + u"/source"_s;
    QByteArray compressible;
    for (int i = 0; i < 40000; ++i)
        compressible += "row " + QByteArray::number(i % 977) + '\n';
    QVERIFY(writeFile(source + u"/Orvane4.res"_s, randomBytes(300000, 1)));
    QVERIFY(writeFile(source + u"/readme.txt"_s, "hello\r\n"));
    QVERIFY(writeFile(source + u"/empty.dat"_s, {}));
    QVERIFY(writeFile(source + u"/tables/big.bin"_s, compressible + randomBytes(70000, 2)));
    QVERIFY(writeFile(source + u"/tables/small.bin"_s, "x"));
    QVERIFY(writeFile(source + u"/help/a/b/c/deep.txt"_s, "deep"));
    const QString cab = layout.inWork(u"datafile.cab"_s);
    QString error;
    QVERIFY2(makeCabinetWithGcab(source, cab, compression, &error), qPrintable(error));

    QLoggingCategory::setFilterRules(u"freshgate.cabinet.info=true"_s);
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(u"^extracted 6 members of .*datafile.cab.* ms$"_s));
    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    QCOMPARE(extractor.cabinetFile(), cab);
    const QString destination = layout.inApp(u"Data/nested"_s); // neither exists yet
    const ExtractResult result = extractor.extract(destination);
    QLoggingCategory::setFilterRules(u"freshgate.cabinet.info=false"_s);

    QVERIFY2(result.ok, qPrintable(result.error));
    QVERIFY(result.error.isEmpty());
    QCOMPARE(result.members, 6);
    QCOMPARE(snapshotTree(destination), snapshotTree(source));
    QCOMPARE(snapshotTree(layout.work).keys(), QStringList{u"datafile.cab"_s});
}

void TestCabinetExtractor::replacesExistingFiles()
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

    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    const ExtractResult result = extractor.extract(layout.app);

    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.members, 4);
    QCOMPARE(snapshotTree(layout.app), expected);
    QCOMPARE(readFile(layout.inApp(u"keep.txt"_s)),
             "untouched"); // the link replaced, not its target
}

void TestCabinetExtractor::executableFlag()
{
    Layout layout;
    const QString cab = layout.inWork(u"exefile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"Orvane4.exe", "program", cabAttribExec},
                               {"bin\\tool", "tool", cabAttribExec},
                               {"notes.txt", "text", 0}}));
    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    const ExtractResult result = extractor.extract(layout.app);
    QVERIFY2(result.ok, qPrintable(result.error));

    const auto executableWhereReadable = [](const QString &path) {
        const QFileDevice::Permissions p = QFileInfo(path).permissions();
        return p.testFlag(QFileDevice::ExeOwner) == p.testFlag(QFileDevice::ReadOwner) &&
               p.testFlag(QFileDevice::ExeGroup) == p.testFlag(QFileDevice::ReadGroup) &&
               p.testFlag(QFileDevice::ExeOther) == p.testFlag(QFileDevice::ReadOther);
    };
    QVERIFY(QFileInfo(layout.inApp(u"Orvane4.exe"_s)).isExecutable());
    QVERIFY(executableWhereReadable(layout.inApp(u"Orvane4.exe"_s)));
    QVERIFY(executableWhereReadable(layout.inApp(u"bin/tool"_s)));
    const QFileDevice::Permissions plain = QFileInfo(layout.inApp(u"notes.txt"_s)).permissions();
    QVERIFY(!(plain & (QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther)));
}

void TestCabinetExtractor::memberNameEncoding_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("attributes");
    QTest::addColumn<QString>("expected"); // empty: refused

    QTest::newRow("Latin-1") << QByteArray("caf\xe9.txt") << 0 << u"café.txt"_s;
    QTest::newRow("Latin-1 nested") << QByteArray("r\xe9p\\f\xfb.txt") << 0 << u"rép/fû.txt"_s;
    QTest::newRow("UTF-8 flagged")
        << QByteArray("caf\xc3\xa9.txt") << int(cabAttribUtf8Name) << u"café.txt"_s;
    QTest::newRow("UTF-8 not flagged is Latin-1")
        << QByteArray("caf\xc3\xa9.txt") << 0 << u"caf\u00c3\u00a9.txt"_s;
    QTest::newRow("CJK flagged") << QByteArray("\xe6\x9b\xb4\xe6\x96\xb0.dat")
                                 << int(cabAttribUtf8Name) << u"\u66f4\u65b0.dat"_s;
    QTest::newRow("broken UTF-8 flagged")
        << QByteArray("caf\xe9.txt") << int(cabAttribUtf8Name) << QString();
}

void TestCabinetExtractor::memberNameEncoding()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, attributes);
    QFETCH(QString, expected);
    Layout layout;
    const QString cab = layout.inWork(u"names.cab"_s);
    QVERIFY(writeCabinet(cab, {{"first.txt", "1"}, {stored, "named", quint16(attributes)}}));
    const Tree before = snapshotTree(layout.root);

    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    if (expected.isEmpty())
        expectFailureLogged();
    const ExtractResult result = extractor.extract(layout.app);

    QCOMPARE(result.ok, !expected.isEmpty());
    if (expected.isEmpty()) {
        QVERIFY(result.error.contains(u"UTF-8"_s));
        QCOMPARE(snapshotTree(layout.root), before);
    } else {
        QCOMPARE(readFile(layout.inApp(expected)), "named");
    }
}

void TestCabinetExtractor::hostileNamesWriteNothing_data()
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

void TestCabinetExtractor::hostileNamesWriteNothing()
{
    QFETCH(QByteArray, hostile);
    QFETCH(bool, intoWorkFolder);
    Layout layout;
    QVERIFY(writeFile(layout.inApp(u"first.txt"_s), "old first"));
    const QString cab = layout.inWork(u"hostile.cab"_s);
    QVERIFY(
        writeCabinet(cab, {{"first.txt", "new first"}, {hostile, "payload"}, {"last.txt", "x"}}));
    const Tree before = snapshotTree(layout.root);

    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    expectFailureLogged();
    const ExtractResult result = extractor.extract(intoWorkFolder ? layout.work : layout.app);

    QVERIFY(!result.ok);
    QVERIFY2(result.error.contains(u"refused"_s) || result.error.contains(u"own folders"_s),
             qPrintable(result.error));
    QCOMPARE(snapshotTree(layout.root), before);
}

enum class Damage { Truncated, CutToHeader, Corrupt, NotACabinet, Empty, Missing, Folder, Spanned };

void TestCabinetExtractor::brokenCabinetsChangeNothing_data()
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

void TestCabinetExtractor::brokenCabinetsChangeNothing()
{
    QFETCH(Damage, damage);
    QFETCH(QString, reason);
    Layout layout;
    Members members;
    for (int i = 0; i < 4; ++i) {
        const QByteArray name = "part" + QByteArray::number(i) + ".bin";
        members.append({name, randomBytes(100000, quint32(10 + i))});
        if (i < 3)
            QVERIFY(writeFile(layout.inApp(QString::fromLatin1(name)), "old " + name));
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

    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    expectFailureLogged();
    const ExtractResult result = extractor.extract(layout.app);

    QVERIFY(!result.ok);
    QVERIFY(!result.error.isEmpty());
    QVERIFY2(result.error.contains(reason), qPrintable(result.error));
    QCOMPARE(snapshotTree(layout.root), before);
}

void TestCabinetExtractor::unwritableDestination_data()
{
    QTest::addColumn<QString>("immutable");
    QTest::newRow("the destination") << u""_s;
    QTest::newRow("a folder reached after other members") << u"Data"_s;
}

void TestCabinetExtractor::unwritableDestination()
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

    ExtractResult result;
    {
        const Immutable guard(immutable.isEmpty() ? layout.app : layout.inApp(immutable));
        if (!guard.set)
            QSKIP("chattr +i is not available here (needs root and a file system that has it)");
        CabinetExtractor extractor(layout.work);
        extractor.setCabinetFile(cab);
        expectFailureLogged();
        result = extractor.extract(layout.app);
    }
    QVERIFY(!result.ok);
    QVERIFY2(!result.error.contains(u"could not undo"_s), qPrintable(result.error));
    QCOMPARE(snapshotTree(layout.root), before);
}

void TestCabinetExtractor::moveFailureRollsBack_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("obstacleIsFolder");
    QTest::addColumn<QByteArray>("blockedMember");

    QTest::newRow("folder where a file goes")
        << u"z.txt/inner.txt"_s << true << QByteArray("z.txt");
    QTest::newRow("file where a folder goes")
        << u"sub"_s << false << QByteArray("sub\\deeper\\d.txt");
}

void TestCabinetExtractor::moveFailureRollsBack()
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

    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    expectFailureLogged();
    const ExtractResult result = extractor.extract(layout.app);

    QVERIFY(!result.ok);
    QVERIFY2(result.error.contains(u"in the way"_s), qPrintable(result.error));
    QCOMPARE(snapshotTree(layout.root), before);
}

void TestCabinetExtractor::alsoRemove_data()
{
    QTest::addColumn<Members>("members");
    QTest::addColumn<bool>("oldExists");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("program"); // what Orvane4.exe holds afterwards

    const QByteArray absent("<missing>");
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

void TestCabinetExtractor::alsoRemove()
{
    QFETCH(Members, members);
    QFETCH(bool, oldExists);
    QFETCH(bool, ok);
    QFETCH(QByteArray, program);
    Layout layout;
    if (oldExists)
        QVERIFY(writeFile(layout.inApp(u"Orvane4.exe"_s), "old program"));
    QVERIFY(writeFile(layout.inApp(u"blocked/in-the-way.txt"_s), "a folder"));
    const QString cab = layout.inWork(u"exefile.cab"_s);
    QVERIFY(writeCabinet(cab, members));
    const Tree before = snapshotTree(layout.root);

    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    if (!ok)
        expectFailureLogged();
    const ExtractResult result =
        extractor.extract(layout.app, {u"Orvane4.exe"_s, u"Missing.exe"_s});

    QCOMPARE(result.ok, ok);
    QCOMPARE(readFile(layout.inApp(u"Orvane4.exe"_s)), program);
    if (!ok)
        QCOMPARE(snapshotTree(layout.root), before);
    QVERIFY(layout.workIsClean());
}

void TestCabinetExtractor::acrossFileSystems()
{
    QTemporaryDir fastWork(u"/dev/shm/freshgate-work-XXXXXX"_s);
    Layout layout;
    if (!fastWork.isValid() ||
        QStorageInfo(fastWork.path()).device() == QStorageInfo(layout.app).device())
        QSKIP("needs /dev/shm on a file system of its own");

    QVERIFY(writeFile(layout.inApp(u"a.txt"_s), "old a"));
    QVERIFY(writeFile(layout.inApp(u"Orvane4.exe"_s), "old program"));
    const QString good = fastWork.filePath(u"good.cab"_s);
    QVERIFY(writeCabinet(good, {{"a.txt", "new a"}, {"sub\\b.txt", "b", cabAttribExec}}));
    const QString bad = fastWork.filePath(u"bad.cab"_s);
    QVERIFY(writeCabinet(bad, {{"a.txt", "newer a"}, {"sub", "in the way"}}));

    CabinetExtractor extractor(fastWork.path());
    extractor.setCabinetFile(good);
    ExtractResult result = extractor.extract(layout.app, {u"Orvane4.exe"_s});
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(readFile(layout.inApp(u"a.txt"_s)), "new a");
    QCOMPARE(readFile(layout.inApp(u"sub/b.txt"_s)), "b");
    QVERIFY(QFileInfo(layout.inApp(u"sub/b.txt"_s)).isExecutable());
    QVERIFY(!QFileInfo::exists(layout.inApp(u"Orvane4.exe"_s)));

    const Tree before = snapshotTree(layout.root);
    extractor.setCabinetFile(bad);
    expectFailureLogged();
    result = extractor.extract(layout.app);
    QVERIFY(!result.ok);
    QCOMPARE(snapshotTree(layout.root), before);
    QCOMPARE(QDir(fastWork.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({u"bad.cab"_s, u"good.cab"_s}));
}

void TestCabinetExtractor::clearsLeftoversOfACrashedRun()
{
    Layout layout;
    QVERIFY(writeFile(layout.inWork(u"~staging/0"_s), "stale member"));
    QVERIFY(writeFile(layout.inWork(u"~backup/3"_s), "stale backup"));
    const QString cab = layout.inWork(u"resfile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"a.txt", "a"}}));

    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(u"~staging left by an interrupted run"_s));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"~backup left by an interrupted run"_s));
    const ExtractResult result = extractor.extract(layout.app);

    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(readFile(layout.inApp(u"a.txt"_s)), "a");
    QVERIFY(layout.workIsClean());
}

void TestCabinetExtractor::extractsIntoItsOwnWorkFolder()
{
    Layout layout;
    const QString cab = layout.inWork(u"fullexefile.cab"_s);
    QVERIFY(writeCabinet(cab, {{"setup.exe", "installer", cabAttribExec},
                               {"setup\\data.bin", "data"},
                               {"fullexefile.cab", "the package replaces itself"}}));

    CabinetExtractor extractor(layout.work);
    extractor.setCabinetFile(cab);
    const ExtractResult result = extractor.extract(layout.work);

    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(readFile(layout.inWork(u"setup.exe"_s)), "installer");
    QCOMPARE(readFile(layout.inWork(u"setup/data.bin"_s)), "data");
    QCOMPARE(readFile(cab), "the package replaces itself");
    QVERIFY(layout.workIsClean());
}

QTEST_GUILESS_MAIN(TestCabinetExtractor)
#include "tst_cabinetextractor.moc"
