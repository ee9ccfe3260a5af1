// The writer that makes staged files on a thread of its own: every file it is given lands whole
// and in order, a producer far ahead of it waits rather than piling up memory, and the first
// failure stops the writing, names its file and leaves what was there alone.
#include "platform/StagedWriter.h"
#include "support/Files.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;
using namespace freshgate::test;

namespace {

std::filesystem::path pathOf(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

class TestStagedWriter : public QObject {
    Q_OBJECT

private slots:
    void writesEveryFileWhole_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("bytes");
        QTest::newRow("many small files") << 500 << 100;
        QTest::newRow("empty files") << 3 << 0;
        // Far more than the writer lets wait at once: the producer must wait, not fail.
        QTest::newRow("more than may wait") << 24 << 1024 * 1024;
    }

    void writesEveryFileWhole()
    {
        QFETCH(int, files);
        QFETCH(int, bytes);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("a/b")));
        {
            StagedWriter writer;
            for (int i = 0; i < files; ++i) {
                const QString name = QStringLiteral("a/b/f%1").arg(i);
                writer.put(pathOf(dir.filePath(name)),
                           QByteArray(bytes, static_cast<char>('a' + i % 26)), i % 2 == 1);
            }
            const std::error_code done = writer.finish();
            QVERIFY2(!done, done.message().c_str());
        }
        for (int i = 0; i < files; ++i) {
            const QString path = dir.filePath(QStringLiteral("a/b/f%1").arg(i));
            QCOMPARE(readFile(path), QByteArray(bytes, static_cast<char>('a' + i % 26)));
            QCOMPARE(QFileInfo(path).isExecutable(), i % 2 == 1);
        }
    }

    void firstFailureStopsTheWriting_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<bool>("taken");
        QTest::newRow("a name already taken") << QStringLiteral("f1") << true;
        QTest::newRow("a folder that is not there") << QStringLiteral("missing/f1") << false;
    }

    void firstFailureStopsTheWriting()
    {
        QFETCH(QString, failing);
        QFETCH(bool, taken);
        QTemporaryDir dir;
        if (taken) {
            QVERIFY(writeFile(dir.filePath(failing), "the file that was there"));
        }
        StagedWriter writer;
        writer.put(pathOf(dir.filePath(QStringLiteral("f0"))), "first", false);
        writer.put(pathOf(dir.filePath(failing)), "second", false);
        writer.put(pathOf(dir.filePath(QStringLiteral("f2"))), "third", false);
        const std::error_code done = writer.finish();
        QVERIFY(done);
        QCOMPARE(writer.failure(), done);
        QCOMPARE(writer.failedFile(), pathOf(dir.filePath(failing)));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("f0"))), QByteArray("first"));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("f2"))));
        if (taken) {
            QCOMPARE(readFile(dir.filePath(failing)), QByteArray("the file that was there"));
        }
    }
};

QTEST_GUILESS_MAIN(TestStagedWriter)
#include "tst_stagedwriter.moc"
