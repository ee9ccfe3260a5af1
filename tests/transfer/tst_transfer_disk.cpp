// HttpTransfer meeting this computer's disk: a body that does not fit, a disk filling up, a folder
// that takes no file, a write that fails. Each is this computer's failure, naming the folder to
// see to, never the server's.

#include "Loopback.h"
#include "support/Files.h"
#include "support/Immutable.h"
#include "support/ScriptedServer.h"
#include "transfer/FileSink.h"
#include "transfer/HttpTransfer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <memory>
#include <optional>

#ifndef Q_OS_WIN
#include <csignal>
#include <sys/resource.h>
#endif

using freshgate::FailureKind;
using freshgate::FileSink;
using freshgate::HttpTransfer;
using freshgate::Result;
using freshgate::test::clearProxyEnvironment;
using freshgate::test::filesIn;
using freshgate::test::patternBytes;
using freshgate::test::ScriptedResponse;
using freshgate::test::ScriptedServer;

Q_DECLARE_METATYPE(ScriptedResponse)
Q_DECLARE_METATYPE(FailureKind)

class TransferDiskTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { clearProxyEnvironment(); }
    void init();
    void cleanup();

    void downloadThatDoesNotFit();
    void diskFillingUp_data();
    void diskFillingUp();
    void unwritableTarget_data();
    void unwritableTarget();
    void writeFails_data();
    void writeFails();

private:
    Result<qint64> fetch(HttpTransfer &transfer);
    // What a failed fetch's message starts with: what was being fetched.
    QString fetching() const;
    QString native(const QString &relative = QString()) const;

    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_target;
};

void TransferDiskTest::init()
{
    m_server = std::make_unique<ScriptedServer>();
    QVERIFY(m_server->isListening());
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_target = m_dir->filePath(QStringLiteral("ov4res.cab"));
}

void TransferDiskTest::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

Result<qint64> TransferDiskTest::fetch(HttpTransfer &transfer)
{
    return transfer.getBinaryData(m_server->url(QStringLiteral("/item")), m_target);
}

QString TransferDiskTest::fetching() const
{
    return QStringLiteral("GET ") + m_server->url(QStringLiteral("/item")) + QStringLiteral(": ");
}

QString TransferDiskTest::native(const QString &relative) const
{
    return QDir::toNativeSeparators(relative.isEmpty() ? m_dir->path() : m_dir->filePath(relative));
}

void TransferDiskTest::downloadThatDoesNotFit()
{
    const qint64 free = QStorageInfo(m_dir->path()).bytesAvailable();
    QVERIFY(free > 0);
    m_server->expect("GET", "/item", ScriptedResponse::headersThenStall(free + 1));

    HttpTransfer transfer;
    transfer.setMaxDownloadBytes(std::numeric_limits<qint64>::max());
    transfer.setRequestTimeout(30);
    QElapsedTimer clock;
    clock.start();
    const Result<qint64> got = fetch(transfer);

    QVERIFY(!got.ok());
    QVERIFY(clock.elapsed() < 10000);
    QCOMPARE(got.kind(), FailureKind::NoSpace);
    QCOMPARE(got.failure().path, native());
    QVERIFY2(got.message().contains(QStringLiteral("free")), qPrintable(got.message()));
    QVERIFY(filesIn(m_dir->path()).isEmpty());
}

void TransferDiskTest::diskFillingUp_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<qint64>("diskMiB");
    QTest::addColumn<bool>("fits");
    const QByteArray body = patternBytes(qsizetype{24} * 1024 * 1024);
    ScriptedResponse unknownLength = ScriptedResponse::ok(body);
    unknownLength.contentLength = -1;

    QTest::newRow("endless, no length") << ScriptedResponse::endless() << qint64{200} << false;
    QTest::newRow("24 MiB, no length, room for it and its extraction")
        << unknownLength << qint64{200} << true;
    QTest::newRow("24 MiB, no length, no room for its extraction")
        << unknownLength << qint64{100} << false;
    QTest::newRow("24 MiB announced, no room for its extraction")
        << ScriptedResponse::ok(body) << qint64{100} << false;
}

// A simulated disk whose free space is what the download folder's files leave of it: a body
// that would leave no room for its extraction fails long before the disk is full, its partial
// file is removed, and the free space is measured again as the file grows, not for every chunk.
void TransferDiskTest::diskFillingUp()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(qint64, diskMiB);
    QFETCH(bool, fits);
    freshgate::test::expectGet(*m_server, "/item", response);

    const qint64 disk = diskMiB * 1024 * 1024;
    int probes = 0;
    qint64 lowest = disk;
    QString probed;
    HttpTransfer transfer;
    transfer.setMaxDownloadBytes(std::numeric_limits<qint64>::max());
    transfer.setRequestTimeout(30);
    transfer.setFreeSpaceProbe([&](const QString &folder) {
        ++probes;
        probed = folder;
        qint64 used = 0;
        for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
            used += file.size();
        }
        lowest = std::min(lowest, disk - used);
        return disk - used;
    });
    const Result<qint64> got = fetch(transfer);
    QCOMPARE(got.ok(), fits);

    QCOMPARE(probed, m_dir->path());
    QVERIFY2(lowest >= FileSink::kFreeSpaceReserve, qPrintable(QString::number(lowest)));
    if (fits) {
        QCOMPARE(QFileInfo(m_target).size(), response.body.size());
        QVERIFY2(probes <= response.body.size() / FileSink::kFreeSpaceRecheckBytes + 2,
                 qPrintable(QString::number(probes)));
        return;
    }
    QCOMPARE(got.kind(), FailureKind::NoSpace);
    QCOMPARE(got.failure().path, native());
    QVERIFY2(got.message().startsWith(
                 fetching() + QStringLiteral("not enough free space on %1 (needs ").arg(native())),
             qPrintable(got.message()));
    QVERIFY2(filesIn(m_dir->path()).isEmpty(), qPrintable(filesIn(m_dir->path()).join(u' ')));
    const bool lengthUnknown =
        response.mode == ScriptedResponse::Mode::Endless || response.contentLength == -1;
    if (lengthUnknown) {
        QVERIFY2(probes > 2, qPrintable(QString::number(probes)));
    }
}

void TransferDiskTest::unwritableTarget_data()
{
    QTest::addColumn<QString>("relativeTarget");
    QTest::addColumn<QString>("immutable");
    QTest::addColumn<FailureKind>("kind");
    QTest::addColumn<QString>("place");
    QTest::newRow("missing folder") << QStringLiteral("missing/ov4res.cab") << QString()
                                    << FailureKind::Disk << QStringLiteral("missing");
    QTest::newRow("target is a folder")
        << QStringLiteral("folder") << QString() << FailureKind::Disk << QStringLiteral("folder");
    QTest::newRow("folder that takes no new file")
        << QStringLiteral("locked/ov4res.cab") << QStringLiteral("locked") << FailureKind::Denied
        << QStringLiteral("locked");
}

// A file that cannot be made is refused before anything is requested, as this computer's
// failure, naming the place in the way.
void TransferDiskTest::unwritableTarget()
{
    QFETCH(QString, relativeTarget);
    QFETCH(QString, immutable);
    QFETCH(FailureKind, kind);
    QFETCH(QString, place);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder")));
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("locked")));
    std::optional<freshgate::test::Immutable> guard;
    if (!immutable.isEmpty()) {
        guard.emplace(m_dir->filePath(immutable));
        if (!guard->isSet()) {
            QSKIP("needs root and chattr on a file system that keeps the immutable attribute");
        }
    }

    // No expectation: the server fails the test on any request.
    HttpTransfer transfer;
    const Result<qint64> got = transfer.getBinaryData(m_server->url(QStringLiteral("/item")),
                                                      m_dir->filePath(relativeTarget));
    QVERIFY(!got.ok());
    QCOMPARE(got.kind(), kind);
    QCOMPARE(got.failure().path, native(place));
    QVERIFY2(got.message().startsWith(fetching()), qPrintable(got.message()));
    QVERIFY(m_server->requests().isEmpty());
    QVERIFY(QDir(m_dir->filePath(QStringLiteral("folder"))).isEmpty());
    QVERIFY(QDir(m_dir->filePath(QStringLiteral("locked"))).isEmpty());
}

void TransferDiskTest::writeFails_data()
{
    QTest::addColumn<qint64>("freeAtFailure");
    QTest::addColumn<FailureKind>("kind");
    QTest::newRow("the disk is full") << qint64{0} << FailureKind::NoSpace;
    QTest::newRow("room on the disk") << qint64{10} * 1024 * 1024 * 1024 << FailureKind::Disk;
}

// A write that fails half way (here: past the process's file size limit) is told by the free
// space left: a disk that cannot take the chunk is full; otherwise it is some other fault of the
// disk. Either way the partial file is removed and the folder is named.
void TransferDiskTest::writeFails()
{
#ifdef Q_OS_WIN
    QSKIP("the file size limit that makes a write fail here is POSIX only");
#else
    QFETCH(qint64, freeAtFailure);
    QFETCH(FailureKind, kind);
    constexpr qint64 kLimit = qint64{1024} * 1024;
    m_server->expect("GET", "/item", ScriptedResponse::ok(patternBytes(4 * kLimit)));
    HttpTransfer transfer;
    transfer.setFreeSpaceProbe([&](const QString &folder) {
        for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
            if (file.size() >= kLimit) {
                return freeAtFailure;
            }
        }
        return qint64{10} * 1024 * 1024 * 1024;
    });

    rlimit before{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &before) == 0);
    rlimit limited = before;
    limited.rlim_cur = static_cast<rlim_t>(kLimit);
    // Past the limit a write fails with EFBIG, once SIGXFSZ no longer ends the process.
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    const bool set = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    const Result<qint64> got = fetch(transfer);
    const bool restored = setrlimit(RLIMIT_FSIZE, &before) == 0;
    std::signal(SIGXFSZ, handler);
    QVERIFY(set && restored);

    QVERIFY(!got.ok());
    QCOMPARE(got.kind(), kind);
    QCOMPARE(got.failure().path, native());
    QVERIFY2(got.message().startsWith(fetching() + QStringLiteral("cannot write")),
             qPrintable(got.message()));
    QVERIFY2(filesIn(m_dir->path()).isEmpty(), qPrintable(filesIn(m_dir->path()).join(u' ')));
#endif
}

QTEST_GUILESS_MAIN(TransferDiskTest)
#include "tst_transfer_disk.moc"
