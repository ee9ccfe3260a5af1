// The publishing logic through its API, and the cabinet writer under it.
#include "PublishFixture.h"
#include "publish/CabinetWriter.h"
#include "publish/Publisher.h"
#include "support/Immutable.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QRegularExpression>
#include <QTest>

using namespace freshgate;
using namespace freshgate::test;

namespace {

PublishOptions fullOptions(const Workspace &workspace)
{
    PublishOptions options;
    options.outDir = workspace.out();
    options.resource = ComponentSource{QStringLiteral("3"), workspace.path(QStringLiteral("res"))};
    options.data = ComponentSource{QStringLiteral("2"), workspace.path(QStringLiteral("data"))};
    options.help = ComponentSource{QStringLiteral("5"), workspace.path(QStringLiteral("help"))};
    options.exe = ComponentSource{QStringLiteral("420"), workspace.path(QStringLiteral("exe"))};
    options.fullExeFolder = workspace.path(QStringLiteral("full"));
    options.fullThreshold = QStringLiteral("410");
    return options;
}

PublishOptions helpOnly(const Workspace &workspace, const QString &version)
{
    PublishOptions options;
    options.outDir = workspace.out();
    options.help = ComponentSource{version, workspace.path(QStringLiteral("help"))};
    return options;
}

} // namespace

class TestPublisher : public QObject {
    Q_OBJECT

private slots:
    void fullPublishReportsEveryFile();
    void notesWhatIsNeverFetched();
    void warnsAtTheDefaultVersion_data();
    void warnsAtTheDefaultVersion();
    void createdServerRootRemovedOnRefusal();
    void failedSwapLeavesServerFolder();
    void unwritableServerRoot();
    void concurrentRunRefused();
    void leftoversOfInterruptedRunRemoved();
    void symlinkedServerFolderRefused();
    void unreadableOldVersionBecomesNeverFetched();
    void writerAttributesAndNames();
    void writerRefusals();
};

void TestPublisher::fullPublishReportsEveryFile()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const Result<PublishReport> result = publish(fullOptions(workspace));
    QVERIFY2(result, qPrintable(result.message()));
    QCOMPARE(result->manifest, QStringLiteral("3*2*5*420*410"));
    QCOMPARE(workspace.manifest(), QByteArray("3*2*5*420*410"));
    QCOMPARE(result->notes, QStringList());
    QCOMPARE(result->warnings, QStringList());
    const QString server = workspace.server();
    QCOMPARE(
        result->report,
        (QStringList{server + QStringLiteral("/ov4res.cab: resource file version 3, 4 files"),
                     server + QStringLiteral("/ov4data.cab: data files version 2, 3 files"),
                     server + QStringLiteral("/ov4help.cab: help file version 5, 1 file"),
                     server + QStringLiteral("/ov4exe.cab: program EXE patch version 420, 2 files"),
                     server +
                         QStringLiteral("/ov4fexe.cab: full program package for EXE version 420, "
                                        "taken by installed versions up to 410, 3 files"),
                     server + QStringLiteral("/ov4arv.dat: 3*2*5*420*410")}
             .replaceInStrings(QRegularExpression(QStringLiteral("^")), QStringLiteral("wrote "))));
    // The web server must be able to read what it serves.
    QVERIFY(QFileInfo(server).permissions().testFlag(QFile::ReadOther));
    QVERIFY(QFileInfo(server).permissions().testFlag(QFile::ExeOther));
}

void TestPublisher::notesWhatIsNeverFetched()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    const Result<PublishReport> result = publish(helpOnly(workspace, QStringLiteral("007")));
    QVERIFY2(result, qPrintable(result.message()));
    // Leading zeros are read, but the manifest carries the plain number.
    QCOMPARE(workspace.manifest(), QByteArray("0*0*7*0*-32768"));
    QCOMPARE(result->warnings.size(), 3);
    QVERIFY(result->warnings
                .filter(QStringLiteral("no program EXE patch published; its version is 0, "
                                       "which does not exceed 400"))
                .size() == 1);
}

void TestPublisher::warnsAtTheDefaultVersion_data()
{
    QTest::addColumn<QString>("component");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("warning"); // empty: none

    QTest::newRow("resource at 1") << "resource"
                                   << "1"
                                   << "resource file version 1, which does not exceed 1";
    QTest::newRow("resource at 2") << "resource"
                                   << "2"
                                   << "";
    QTest::newRow("data at 1") << "data"
                               << "1"
                               << "data files version 1, which does not exceed 1";
    QTest::newRow("data at -7") << "data"
                                << "-7"
                                << "data files version -7, which does not exceed 1";
    QTest::newRow("data at 2") << "data"
                               << "2"
                               << "";
    QTest::newRow("help at 1") << "help"
                               << "1"
                               << "help file version 1, which does not exceed 1";
    QTest::newRow("help at 2") << "help"
                               << "2"
                               << "";
    QTest::newRow("program at 400") << "exe"
                                    << "400"
                                    << "program EXE patch version 400, which does not exceed 400";
    QTest::newRow("program at 0") << "exe"
                                  << "0"
                                  << "program EXE patch version 0, which does not exceed 400";
    QTest::newRow("program at 401") << "exe"
                                    << "401"
                                    << "";
}

void TestPublisher::warnsAtTheDefaultVersion()
{
    QFETCH(QString, component);
    QFETCH(QString, version);
    QFETCH(QString, warning);
    Workspace workspace;
    QVERIFY(workspace.isValid());
    PublishOptions options = fullOptions(workspace);
    options.fullExeFolder.reset();
    options.fullThreshold.reset();
    ComponentSource *source = component == QLatin1String("resource") ? &*options.resource
                              : component == QLatin1String("data")   ? &*options.data
                              : component == QLatin1String("help")   ? &*options.help
                                                                     : &*options.exe;
    source->version = version;

    const Result<PublishReport> result = publish(options);
    QVERIFY2(result, qPrintable(result.message()));
    if (warning.isEmpty()) {
        QCOMPARE(result->warnings, QStringList());
    } else {
        QCOMPARE(result->warnings.size(), 1);
        QVERIFY2(result->warnings.first().startsWith(warning),
                 qPrintable(result->warnings.first()));
        QVERIFY2(result->warnings.first().contains(QStringLiteral("no client with the default")),
                 qPrintable(result->warnings.first()));
    }
}

void TestPublisher::createdServerRootRemovedOnRefusal()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    PublishOptions options;
    options.outDir = workspace.out();
    options.fullThreshold = QStringLiteral("5");
    const Result<PublishReport> result = publish(options);
    QVERIFY(!result);
    QVERIFY2(result.message().contains(QStringLiteral("needs a full package")),
             qPrintable(result.message()));
    QCOMPARE(result.kind(), FailureKind::Usage);
    QVERIFY(!QFileInfo::exists(workspace.out()));
}

void TestPublisher::failedSwapLeavesServerFolder()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(publish(fullOptions(workspace)).ok());
    const auto before = snapshotTree(workspace.out(), Snapshot::WithPermissions);
    {
        // The new folder is built, then cannot take the old one's place.
        Immutable pinned(workspace.server());
        if (!pinned.isSet()) {
            QSKIP("chattr +i is not available here");
        }
        const Result<PublishReport> result = publish(helpOnly(workspace, QStringLiteral("6")));
        QVERIFY(!result);
        QVERIFY2(result.message().contains(QStringLiteral("freshgate")),
                 qPrintable(result.message()));
        // The system's refusal, laid at this computer and naming the folder.
        QCOMPARE(result.kind(), FailureKind::Denied);
        QCOMPARE(result.failure().path, workspace.server());
    }
    QCOMPARE(snapshotTree(workspace.out(), Snapshot::WithPermissions), before);
}

void TestPublisher::unwritableServerRoot()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(publish(fullOptions(workspace)).ok());
    const auto before = snapshotTree(workspace.out(), Snapshot::WithPermissions);
    {
        Immutable pinned(workspace.out());
        if (!pinned.isSet()) {
            QSKIP("chattr +i is not available here");
        }
        const Result<PublishReport> result = publish(helpOnly(workspace, QStringLiteral("6")));
        QVERIFY(!result);
        QVERIFY2(result.message().contains(QStringLiteral("cannot write to")),
                 qPrintable(result.message()));
        QVERIFY2(result.message().contains(QStringLiteral("Operation not permitted")),
                 qPrintable(result.message()));
        QCOMPARE(result.kind(), FailureKind::Denied);
        QCOMPARE(result.failure().path, workspace.out());
    }
    QCOMPARE(snapshotTree(workspace.out(), Snapshot::WithPermissions), before);
}

void TestPublisher::concurrentRunRefused()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(publish(fullOptions(workspace)).ok());
    QLockFile other(workspace.out() + QStringLiteral("/.freshgate-publish.lock"));
    QVERIFY(other.tryLock(0));
    const auto before = snapshotTree(workspace.out(), Snapshot::WithPermissions);

    const Result<PublishReport> result = publish(helpOnly(workspace, QStringLiteral("6")));
    QVERIFY(!result);
    QVERIFY2(result.message().contains(QStringLiteral("another freshgate-publish")),
             qPrintable(result.message()));
    QCOMPARE(result.failure().path, workspace.out());
    QCOMPARE(snapshotTree(workspace.out(), Snapshot::WithPermissions), before);
}

void TestPublisher::leftoversOfInterruptedRunRemoved()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(
        writeFile(workspace.out() + QStringLiteral("/.freshgate.new-AbC123/ov4res.cab"), "half"));
    QVERIFY(
        writeFile(workspace.out() + QStringLiteral("/.freshgate.old-XyZ789/ov4arv.dat"), "1*1"));
    QVERIFY(writeFile(workspace.out() + QStringLiteral("/index.html"), "the maker's own page"));
    QVERIFY(publish(helpOnly(workspace, QStringLiteral("6"))).ok());
    QCOMPARE(
        QDir(workspace.out()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        (QStringList{QStringLiteral("freshgate"), QStringLiteral("index.html")}));
}

void TestPublisher::symlinkedServerFolderRefused()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(QDir().mkpath(workspace.path(QStringLiteral("real"))));
    QVERIFY(QDir().mkpath(workspace.out()));
    QVERIFY(QFile::link(workspace.path(QStringLiteral("real")), workspace.server()));
    const auto before = snapshotTree(workspace.path(), Snapshot::WithPermissions);
    const Result<PublishReport> result = publish(helpOnly(workspace, QStringLiteral("6")));
    QVERIFY(!result);
    QVERIFY2(result.message().contains(QStringLiteral("symbolic link")),
             qPrintable(result.message()));
    QCOMPARE(result.kind(), FailureKind::Usage);
    QCOMPARE(snapshotTree(workspace.path(), Snapshot::WithPermissions), before);
}

void TestPublisher::unreadableOldVersionBecomesNeverFetched()
{
    Workspace workspace;
    QVERIFY(workspace.isValid());
    QVERIFY(publish(fullOptions(workspace)).ok());
    // A hand-edited manifest: blanks and a line break are read as Freshgate
    // reads them, the letters are not a version.
    QVERIFY(writeFile(workspace.server() + QStringLiteral("/ov4arv.dat"), " 3 *x2*5*420*410\r\n"));
    const Result<PublishReport> result = publish(helpOnly(workspace, QStringLiteral("6")));
    QVERIFY2(result, qPrintable(result.message()));
    QCOMPARE(workspace.manifest(), QByteArray("3*0*6*420*410"));
    QVERIFY(QFile::exists(workspace.server() + QStringLiteral("/ov4data.cab")));
    QCOMPARE(result->warnings.filter(QStringLiteral("data files had no readable version")).size(),
             1);
}

void TestPublisher::writerAttributesAndNames()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("plain")), "plain"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("tool")), "tool", true));
    const QString cabinet = dir.filePath(QStringLiteral("out.cab"));

    CabinetWriter writer;
    QVERIFY(writer
                .addFile(QStringLiteral("a\\b\\plain.txt"), dir.filePath(QStringLiteral("plain")),
                         CabinetWriter::Attribute::Archive)
                .ok());
    QVERIFY(writer
                .addFile(QStringLiteral("run"), dir.filePath(QStringLiteral("tool")),
                         CabinetWriter::Attribute::Executable | CabinetWriter::Attribute::ReadOnly)
                .ok());
    // Names are not judged here: a test cabinet may need a hostile one.
    QVERIFY(writer
                .addFile(QString::fromUtf8("..\\\xc3\xa9vil"),
                         dir.filePath(QStringLiteral("plain")), {})
                .ok());
    // "/" is stored as "\\" whatever the platform, so Windows makes the same cabinet.
    QVERIFY(
        writer.addFile(QStringLiteral("d/e.txt"), dir.filePath(QStringLiteral("plain")), {}).ok());
    QCOMPARE(writer.memberCount(), 4);
    QCOMPARE(writer.contentBytes(), qint64{19});
    const Status written = writer.write(cabinet);
    QVERIFY2(written, qPrintable(written.message()));

    QString error;
    const QMap<QString, quint32> members = gcabMembers(cabinet, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(members, (QMap<QString, quint32>{{QStringLiteral("a\\b\\plain.txt"), 0x20},
                                              {QStringLiteral("run"), 0x41},
                                              {QString::fromUtf8("..\\\xc3\xa9vil"), 0x80},
                                              {QStringLiteral("d\\e.txt"), 0x00}}));
}

void TestPublisher::writerRefusals()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("plain")), "plain"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("taken.cab")), "someone else's"));

    CabinetWriter writer;
    QVERIFY(writer.addFile(QStringLiteral("x"), dir.filePath(QStringLiteral("plain")), {}).ok());
    const Status twice =
        writer.addFile(QStringLiteral("x"), dir.filePath(QStringLiteral("plain")), {});
    QVERIFY(!twice);
    QVERIFY2(twice.message().contains(QStringLiteral("already")), qPrintable(twice.message()));
    QCOMPARE(twice.kind(), FailureKind::Archive);
    const Status folder = writer.addFile(QStringLiteral("y"), dir.path(), {});
    QVERIFY(!folder);
    QCOMPARE(folder.kind(), FailureKind::Disk);
    QCOMPARE(folder.failure().path, dir.path());
    const Status unnamed = writer.addFile(QString(), dir.filePath(QStringLiteral("plain")), {});
    QCOMPARE(unnamed.kind(), FailureKind::Usage);
    // A name's limit is in bytes as stored: 128 two-byte letters are one too many.
    const Status tooLong =
        writer.addFile(QString(128, u'\u00e9'), dir.filePath(QStringLiteral("plain")), {});
    QCOMPARE(tooLong.kind(), FailureKind::Archive);
    QVERIFY(
        writer.addFile(QString(127, u'\u00e9') + u'x', dir.filePath(QStringLiteral("plain")), {})
            .ok());
    QCOMPARE(writer.memberCount(), 2);

    const Status taken = writer.write(dir.filePath(QStringLiteral("taken.cab")));
    QVERIFY(!taken);
    QCOMPARE(taken.kind(), FailureKind::Disk);
    QCOMPARE(taken.failure().path, dir.filePath(QStringLiteral("taken.cab")));
    QFile takenFile(dir.filePath(QStringLiteral("taken.cab")));
    QVERIFY(takenFile.open(QIODevice::ReadOnly));
    QCOMPARE(takenFile.readAll(), QByteArray("someone else's"));

    // A source that vanishes before writing fails the write and leaves no file.
    CabinetWriter vanishing;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("gone")), "soon gone"));
    QVERIFY(
        vanishing.addFile(QStringLiteral("gone"), dir.filePath(QStringLiteral("gone")), {}).ok());
    QVERIFY(QFile::remove(dir.filePath(QStringLiteral("gone"))));
    const Status partial = vanishing.write(dir.filePath(QStringLiteral("partial.cab")));
    QVERIFY(!partial);
    QCOMPARE(partial.kind(), FailureKind::Disk);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("partial.cab"))));
}

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
