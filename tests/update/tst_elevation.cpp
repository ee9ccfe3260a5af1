// A user who may not change the product's folder (as a standard user may not change Program
// Files): the run downloads and checks in the user's own folder and hands only the install to an
// elevated step, which takes nothing from its caller but names and checks everything again.
// "Elevation" here is the right to change a folder made immutable for the rest of the test.
#include "app/InstanceLock.h"
#include "app/LastRunLog.h"
#include "install/ProductRecord.h"
#include "settings/SettingsStore.h"
#include "support/AppFolder.h"
#include "support/CabBuilder.h"
#include "support/Files.h"
#include "support/Immutable.h"
#include "support/Process.h"
#include "support/RecordingView.h"
#include "support/ScriptedServer.h"
#include "support/Signing.h"
#include "transfer/HttpTransfer.h"
#include "trust/Minisign.h"
#include "update/ElevatedInstall.h"
#include "update/Explanation.h"
#include "update/HandOver.h"
#include "update/UpdateRun.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <vector>

using namespace freshgate;
using namespace freshgate::test;

namespace {

const QString kTick = QStringLiteral("tick/No updates available");
const QString kSaved = QStringLiteral("save/Update installed");
const QString kFailed = QStringLiteral("delete/Update failed");
constexpr qint64 kMaxBytes = qint64{64} * 1024 * 1024;

// Withholds the right to change folders, and gives it back for the elevated step.
class Lockdown {
public:
    explicit Lockdown(QStringList folders) : m_folders(std::move(folders)) { apply(); }

    bool apply()
    {
        m_guards.clear();
        for (const QString &folder : std::as_const(m_folders)) {
            m_guards.push_back(std::make_unique<Immutable>(folder));
        }
        return isSet();
    }
    void lift() { m_guards.clear(); }
    [[nodiscard]] bool isSet() const
    {
        return !m_guards.empty() &&
               std::all_of(m_guards.begin(), m_guards.end(),
                           [](const std::unique_ptr<Immutable> &guard) { return guard->isSet(); });
    }

private:
    QStringList m_folders;
    std::vector<std::unique_ptr<Immutable>> m_guards;
};

// What Windows does once the user allows the prompt: runs the step with the right to change
// the product, here in this process or as the real program in a child process.
class TestLauncher : public ElevatedLauncher {
public:
    enum class Mode { InProcess, Declined, ChildProcess };

    Result<int> runElevated(const QStringList &given) override
    {
        ++calls;
        arguments = given;
        productAtLaunch = snapshotTree(appFolder);
        if (mode == Mode::Declined) {
            return failure(FailureKind::ElevationDeclined,
                           QStringLiteral("the request for elevation was declined"));
        }
        if (beforeStep) {
            beforeStep();
        }
        lockdown->lift();
        int exit = -1;
        if (mode == Mode::InProcess) {
            exit = static_cast<int>(
                runElevatedInstall({appFolder, keys, kMaxBytes}, arguments.mid(1)));
        } else {
            const ProcessRun run = runProcess(program, arguments);
            exit = run.finished ? run.exitCode : -1;
        }
        (void)lockdown->apply();
        return exit;
    }

    Mode mode = Mode::InProcess;
    QString appFolder;
    QString program;
    Lockdown *lockdown = nullptr;
    std::optional<QList<minisign::PublicKey>> keys;
    std::function<void()> beforeStep;

    int calls = 0;
    QStringList arguments;
    QMap<QString, QByteArray> productAtLaunch;
};

} // namespace

class TestElevation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_secretKey = qEnvironmentVariable("FRESHGATE_TEST_KEY");
        QString publicKey = m_secretKey;
        publicKey.replace(QStringLiteral(".sec"), QStringLiteral(".pub"));
        const auto key = minisign::parsePublicKey(QString::fromLatin1(readFile(publicKey)));
        QVERIFY2(key, qPrintable(key.message()));
        m_key = *key;
        QTemporaryDir probe;
        if (!Immutable(probe.path()).isSet()) {
            QSKIP("cannot make a folder immutable here");
        }
    }

    void init()
    {
        m_home = std::make_unique<SettingsFile>();
        m_local = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<ScriptedServer>();
        m_app = std::make_unique<AppFolder>();
        QVERIFY(m_app->write(QStringLiteral("Orvane4.exe"), "program 400"));
        QVERIFY(m_app->write(QStringLiteral("Orvane4.res"), "resources 1"));
        QVERIFY(m_app->write(QStringLiteral("Data/core.dat"), "data 1"));
        m_lockdown = std::make_unique<Lockdown>(
            QStringList{m_app->path(), m_app->filePath(QStringLiteral("Data"))});
        QVERIFY(m_lockdown->isSet());
        m_launcher = std::make_unique<TestLauncher>();
        m_launcher->appFolder = m_app->path();
        m_launcher->lockdown = m_lockdown.get();
        m_launcher->keys = QList<minisign::PublicKey>{m_key};
        m_before = snapshotTree(m_app->path());
    }

    void cleanup()
    {
        m_lockdown.reset();
        QVERIFY2(m_server->unmetExpectations().isEmpty(),
                 qPrintable(m_server->unmetExpectations().join(QLatin1Char(','))));
    }

    // One prompt for every component; the step is told what and from where, never where to.
    void installsThroughOneElevatedStep()
    {
        serveManifest("2*2*1*401*0");
        serveArchive(Component::Resource, {{"Orvane4.res", "resources 2", 0}}, 2);
        serveArchive(Component::Data, {{"core.dat", "data 2", 0}}, 2);
        serveArchive(Component::ExePatch, {{"Orvane4.exe", "program 401", 0}}, 401);
        const RecordingView view = run();
        QCOMPARE(view.rowStates(), (QStringList{kSaved, kSaved, kTick, kSaved}));
        QVERIFY(!view.warned());
        QCOMPARE(m_launcher->calls, 1);
        // Nothing of the product changed before the step had the right to change it.
        QCOMPARE(m_launcher->productAtLaunch, m_before);
        const QString local = localWorkFolder(m_local->path(), m_app->path());
        QCOMPARE(m_launcher->arguments.at(0), QLatin1String(kElevatedInstallArgument));
        QCOMPARE(m_launcher->arguments.mid(2),
                 (QStringList{QDir::toNativeSeparators(local), "resource=2", "data=2", "exe=401"}));
        QVERIFY(!m_launcher->arguments.join(u' ').contains(m_app->path()));
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources 2"));
        QCOMPARE(m_app->read(QStringLiteral("Data/core.dat")), QByteArray("data 2"));
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.exe")), QByteArray("program 401"));
        // This user's store records the versions; the product's record says what went in.
        QCOMPARE(stored(SettingKey::ResourceVersion), QStringLiteral("2"));
        QCOMPARE(stored(SettingKey::DataVersion), QStringLiteral("2"));
        QCOMPARE(stored(SettingKey::ExeVersion), QStringLiteral("401"));
        const ProductRecord record = ProductRecord::read(m_app->path());
        QCOMPARE(record.version(SettingKey::DataVersion), std::optional<qint16>(2));
        QCOMPARE(record.version(SettingKey::ExeVersion), std::optional<qint16>(401));
        QVERIFY(record.filesPresent(m_app->path(), SettingKey::DataVersion));
    }

    // A full package needs no rights: it is unpacked in the user's own folder, and Finish starts
    // its set-up from there, which asks for what it needs itself.
    void fullPackageStaysWithTheUser()
    {
        serveManifest("1*1*1*415*410");
        serveArchive(Component::ExeFull, {{"setup.exe", "set-up 415", 0}}, 415);
        QString setup;
        const RecordingView view = run(true, &setup);
        QCOMPARE(view.rowStates(), (QStringList{kTick, kTick, kTick, kSaved}));
        QCOMPARE(view.mode, FinishMode::RunSetup);
        QCOMPARE(m_launcher->calls, 0);
        QCOMPARE(setup, QDir(localWorkFolder(m_local->path(), m_app->path()))
                            .filePath(QStringLiteral("setup.exe")));
        QCOMPARE(readFile(setup), QByteArray("set-up 415"));
        QCOMPARE(snapshotTree(m_app->path()), m_before);
    }

    void declinedPromptChangesNothing()
    {
        m_launcher->mode = TestLauncher::Mode::Declined;
        serveManifest("2*2*1*400*0");
        serveArchive(Component::Resource, {{"Orvane4.res", "resources 2", 0}}, 2);
        serveArchive(Component::Data, {{"core.dat", "data 2", 0}}, 2);
        const RecordingView view = run();
        QCOMPARE(view.rowStates(), (QStringList{kFailed, kFailed, kTick, kTick}));
        const QString says = QStringLiteral("Windows did not allow Freshgate to change ") +
                             QDir::toNativeSeparators(m_app->path());
        QVERIFY2(view.tips[0].contains(says), qPrintable(view.tips[0]));
        QVERIFY2(view.explanations.join(u' ').contains(says),
                 qPrintable(view.explanations.join(u' ')));
        QCOMPARE(snapshotTree(m_app->path()), m_before);
        QCOMPARE(stored(SettingKey::ResourceVersion), QString());
    }

    // A build that cannot prove what it installs never asks for an administrator's rights:
    // nothing is fetched for those rows, and they say who can help.
    void keylessBuildNeverElevates()
    {
        m_server->expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok("2*1*1*400*0"));
        const RecordingView view = run(false);
        QCOMPARE(view.rowStates(), (QStringList{kFailed, kTick, kTick, kTick}));
        QCOMPARE(m_launcher->calls, 0);
        for (const char *part :
             {"administrator must run Freshgate", "build Freshgate with a key"}) {
            QVERIFY2(view.tips[0].contains(QLatin1String(part)), qPrintable(view.tips[0]));
        }
        QCOMPARE(snapshotTree(m_app->path()), m_before);
    }

    void elevatedStepChecksAgain_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("reason");
        QTest::newRow("archive changed after the check")
            << "changed" << QStringLiteral("signature does not match");
        QTest::newRow("another release's signed archive")
            << "older release" << QStringLiteral("signed for version 1, the update list offers 2");
        QTest::newRow("signature taken away")
            << "no signature" << QStringLiteral("signature does not match");
    }

    // The caller's folder is the user's: what lies there when the step runs is not what the
    // caller checked. The step refuses it, and the other components go on.
    void elevatedStepChecksAgain()
    {
        QFETCH(QString, change);
        QFETCH(QString, reason);
        serveManifest("2*2*1*400*0");
        serveArchive(Component::Resource, {{"Orvane4.res", "resources 2", 0}}, 2);
        serveArchive(Component::Data, {{"core.dat", "data 2", 0}}, 2);
        const QString archive = QDir(localWorkFolder(m_local->path(), m_app->path()))
                                    .filePath(QStringLiteral("resfile.cab"));
        const QByteArray older = cabinetBytes({{"Orvane4.res", "resources 1 again", 0}});
        const QByteArray olderSignature =
            minisignSignature(m_secretKey, older, QStringLiteral("ov4res.cab"),
                              archiveComment(QStringLiteral("ov4res.cab"), 1, older.size()));
        m_launcher->beforeStep = [&] {
            if (change == QLatin1String("changed")) {
                QVERIFY(corruptBytes(archive, 1));
            } else if (change == QLatin1String("older release")) {
                QVERIFY(writeFile(archive, older));
                QVERIFY(writeFile(archive + QStringLiteral(".minisig"), olderSignature));
            } else {
                QVERIFY(QFile::remove(archive + QStringLiteral(".minisig")));
            }
        };
        const RecordingView view = run();
        QCOMPARE(view.rowStates(), (QStringList{kFailed, kSaved, kTick, kTick}));
        QVERIFY2(view.tips[0].contains(reason), qPrintable(view.tips[0]));
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources 1"));
        QCOMPARE(stored(SettingKey::ResourceVersion), QString());
        QCOMPARE(stored(SettingKey::DataVersion), QStringLiteral("2"));
        QCOMPARE(ProductRecord::read(m_app->path()).version(SettingKey::ResourceVersion),
                 std::nullopt);
    }

    void otherUserCatchesUp_data()
    {
        QTest::addColumn<bool>("filesChanged");
        QTest::newRow("files as installed") << false;
        QTest::newRow("a file changed since") << true;
    }

    // Another user's store is behind what was installed into the shared folder: while the files
    // are the ones installed, the version is recorded without a download or a prompt.
    void otherUserCatchesUp()
    {
        QFETCH(bool, filesChanged);
        serveManifest("2*1*1*400*0");
        serveArchive(Component::Resource, {{"Orvane4.res", "resources 2", 0}}, 2);
        QCOMPARE(run().rowStates(), (QStringList{kSaved, kTick, kTick, kTick}));
        if (filesChanged) {
            m_lockdown->lift();
            QVERIFY(m_app->write(QStringLiteral("Orvane4.res"), "resources edited"));
            QVERIFY(m_lockdown->apply());
        }

        m_home = std::make_unique<SettingsFile>();
        m_launcher->calls = 0;
        serveManifest("2*1*1*400*0");
        if (filesChanged) {
            serveArchive(Component::Resource, {{"Orvane4.res", "resources 2", 0}}, 2);
        }
        const RecordingView view = run();
        QCOMPARE(view.rowStates(),
                 (QStringList{filesChanged ? kSaved : kTick, kTick, kTick, kTick}));
        QCOMPARE(m_launcher->calls, filesChanged ? 1 : 0);
        QCOMPARE(stored(SettingKey::ResourceVersion), QStringLiteral("2"));
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources 2"));
    }

    void elevatedStepRefuses_data()
    {
        QTest::addColumn<QStringList>("arguments"); // "LOCAL" stands for the archives' folder
        QTest::addColumn<bool>("keys");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("says"); // in the result, when there is one
        const QString id = QStringLiteral("0123456789abcdef0123456789abcdef");
        const auto refused = static_cast<int>(HandOverExit::Refused);
        const auto failed = static_cast<int>(HandOverExit::SomeFailed);
        QTest::newRow("no id") << QStringList{"LOCAL", "resource=2"} << true << refused << "";
        QTest::newRow("a relative folder")
            << QStringList{id, "work", "resource=2"} << true << refused << "";
        QTest::newRow("a full package")
            << QStringList{id, "LOCAL", "fullexe=2"} << true << refused << "";
        QTest::newRow("a target") << QStringList{id, "LOCAL", "resource=2", "--target=/etc"} << true
                                  << refused << "";
        QTest::newRow("named twice")
            << QStringList{id, "LOCAL", "resource=2", "resource=3"} << true << refused << "";
        QTest::newRow("no version")
            << QStringList{id, "LOCAL", "resource=x"} << true << refused << "";
        QTest::newRow("a build without a key")
            << QStringList{id, "LOCAL", "resource=2"} << false << refused << "";
        QTest::newRow("older than the folder holds")
            << QStringList{id, "LOCAL", "resource=2"} << true << failed << "holds version 5";
        QTest::newRow("no archive")
            << QStringList{id, "LOCAL", "data=2"} << true << failed << "datafile.cab";
    }

    // The step started by anyone with any arguments: it installs only signed archives of the
    // product it lives beside, and never an older one than the folder holds.
    void elevatedStepRefuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, keys);
        QFETCH(int, exit);
        QFETCH(QString, says);
        m_lockdown->lift();
        ProductRecord record;
        QVERIFY(record.recordVersion(m_app->path(), {SettingKey::ResourceVersion, 5}));
        const QByteArray cab = cabinetBytes({{"Orvane4.res", "resources 2", 0}});
        QVERIFY(writeFile(m_local->filePath("resfile.cab"), cab));
        QVERIFY(writeFile(
            m_local->filePath("resfile.cab.minisig"),
            minisignSignature(m_secretKey, cab, QStringLiteral("ov4res.cab"),
                              archiveComment(QStringLiteral("ov4res.cab"), 2, cab.size()))));
        const auto before = snapshotTree(m_app->path());
        arguments.replaceInStrings(QStringLiteral("LOCAL"), m_local->path());
        const ElevatedInstallSetup setup{
            m_app->path(), keys ? std::optional(QList<minisign::PublicKey>{m_key}) : std::nullopt,
            kMaxBytes};
        QCOMPARE(static_cast<int>(runElevatedInstall(setup, arguments)), exit);
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources 1"));
        if (says.isEmpty()) {
            QCOMPARE(snapshotTree(m_app->path()), before);
            return;
        }
        const QString result = QString::fromUtf8(
            readFile(handOverResultPath(m_app->filePath(QStringLiteral("Freshgate")))));
        QVERIFY2(result.contains(says), qPrintable(result));
    }

    void productRecordRead_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("versions"); // how many it holds; resource's is 3 when any
        QTest::newRow("as written")
            << QByteArray(R"({"Resource file version":{"version":3}})") << 1;
        QTest::newRow("not a record") << QByteArray("Resource file version=3") << 0;
        QTest::newRow("out of range")
            << QByteArray(R"({"Resource file version":{"version":40000}})") << 0;
        QTest::newRow("another key beside")
            << QByteArray(R"({"Resource file version":{"version":3},"HTTP timeout":{"version":9}})")
            << 1;
    }

    // A record that is not one, or holds what no version is, vouches for nothing.
    void productRecordRead()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, versions);
        m_lockdown->lift();
        QVERIFY(writeFile(ProductRecord::pathIn(m_app->path()), text));
        const ProductRecord record = ProductRecord::read(m_app->path());
        QCOMPARE(record.versions().size(), versions);
        QCOMPARE(record.version(SettingKey::ResourceVersion),
                 versions ? std::optional<qint16>(3) : std::nullopt);
        // Without files recorded, it cannot say the files are the ones installed.
        QVERIFY(!record.filesPresent(m_app->path(), SettingKey::ResourceVersion));
    }

    void handOverRoundTrip_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("all four") << QStringList{"resource=1", "data=-2", "help=3", "exe=415"};
        QTest::newRow("one") << QStringList{"data=32767"};
    }

    void handOverRoundTrip()
    {
        QFETCH(QStringList, arguments);
        const QStringList given =
            QStringList{"0123456789abcdef0123456789abcdef", m_local->path()} + arguments;
        const Result<HandOverRequest> request = parseHandOver(given);
        QVERIFY2(request, qPrintable(request.message()));
        QCOMPARE(handOverArguments(*request).mid(2), arguments);
        QCOMPARE(request->archiveFolder, m_local->path());
    }

    void localWorkFolderPerProduct()
    {
        const QString root = m_local->path();
        const QString here = localWorkFolder(root, m_app->path());
        QCOMPARE(localWorkFolder(root, m_app->path() + QStringLiteral("/")), here);
        QCOMPARE(QFileInfo(here).path(), root);
        QVERIFY(QFileInfo(here).fileName().startsWith(QFileInfo(m_app->path()).fileName()));
        QVERIFY(localWorkFolder(root, m_app->filePath(QStringLiteral("Data"))) != here);
        QVERIFY(localWorkFolder(root, QStringLiteral("/opt/a b/Orvane4")) !=
                localWorkFolder(root, QStringLiteral("/opt/a_b/Orvane4")));
    }

    void windowsCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain") << QStringList{"--elevated-install", "data=7"}
                               << "--elevated-install data=7";
        QTest::newRow("a space") << QStringList{"C:\\Users\\Jo Ann\\AppData"}
                                 << "\"C:\\Users\\Jo Ann\\AppData\"";
        QTest::newRow("a backslash before the closing quote")
            << QStringList{"C:\\a b\\"} << "\"C:\\a b\\\\\"";
        QTest::newRow("a quote") << QStringList{"a\"b c"} << "\"a\\\"b c\"";
        QTest::newRow("backslashes before a quote")
            << QStringList{"a\\\\\"b"} << "\"a\\\\\\\\\\\"b\"";
        QTest::newRow("empty") << QStringList{""} << "\"\"";
    }

    void windowsCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, line);
        QCOMPARE(freshgate::windowsCommandLine(arguments), line);
    }

    void realElevatedProgram_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::newRow("allowed") << false;
        QTest::newRow("another Freshgate holds the folder") << true;
    }

    // The real program as the elevated step: its log lines end up in the caller's log, and it
    // leaves a folder another Freshgate holds alone.
    void realElevatedProgram()
    {
        QFETCH(bool, busy);
        m_lockdown->lift();
        const QString program = m_app->filePath(QStringLiteral("freshgate"));
        QVERIFY(QFile::copy(qEnvironmentVariable("FRESHGATE_SIGNED_PROGRAM"), program));
        QLockFile other(m_app->filePath(QStringLiteral("Freshgate.lock")));
        QVERIFY(!busy || other.tryLock(0));
        QVERIFY(m_lockdown->apply());
        m_before = snapshotTree(m_app->path());
        m_launcher->mode = TestLauncher::Mode::ChildProcess;
        m_launcher->program = program;
        serveManifest("2*1*1*400*0");
        serveArchive(Component::Resource, {{"Orvane4.res", "resources 2", 0}}, 2);

        QTemporaryDir logFolder;
        RecordingView view;
        {
            const LastRunLog log(logFolder.path());
            view = run();
        }
        const QString logged = QString::fromUtf8(readFile(logFolder.filePath("last-run.log")));
        QCOMPARE(view.rowStates().first(), busy ? kFailed : kSaved);
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")),
                 QByteArray(busy ? "resources 1" : "resources 2"));
        QCOMPARE(stored(SettingKey::ResourceVersion), busy ? QString() : QStringLiteral("2"));
        if (busy) {
            QVERIFY2(view.tips[0].contains(QStringLiteral("Another Freshgate")),
                     qPrintable(view.tips[0]));
            QCOMPARE(snapshotTree(m_app->path()), m_before);
            m_lockdown->lift();
            other.unlock();
            return;
        }
        QVERIFY2(logged.contains(QStringLiteral("elevated: ")) &&
                     logged.contains(QStringLiteral("signature of ov4res.cab is good here too")),
                 qPrintable(logged));
    }

    // A folder that takes no lock file: the user's own lock keeps a second Freshgate of the same
    // user out all the same.
    void userLockWhereTheFolderTakesNone()
    {
        const QString fallback = localWorkFolder(m_local->path(), m_app->path()) + ".lock";
        InstanceLock first(m_app->path(), fallback);
        QVERIFY(first.acquire());
        QVERIFY(QFile::exists(fallback));
        InstanceLock second(m_app->path(), fallback);
        QVERIFY(!second.acquire());
        QCOMPARE(snapshotTree(m_app->path()), m_before);
    }

private:
    void serveManifest(const QByteArray &manifest)
    {
        const QString comment =
            QStringLiteral("timestamp:%1\tfile:ov4arv.dat").arg(QDateTime::currentSecsSinceEpoch());
        m_server->expect("GET", "/freshgate/ov4arv.dat.minisig",
                         ScriptedResponse::ok(minisignSignature(
                             m_secretKey, manifest, QStringLiteral("ov4arv.dat"), comment)));
        m_server->expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok(manifest));
    }

    void serveArchive(Component component, const QList<CabMember> &members, int version)
    {
        const QByteArray cab = cabinetBytes(members);
        const QString name = QLatin1String(componentInfo(component).serverFile);
        const QByteArray path = "/freshgate/" + name.toLatin1();
        m_server->expect("GET", path + ".minisig",
                         ScriptedResponse::ok(minisignSignature(
                             m_secretKey, cab, name, archiveComment(name, version, cab.size()))));
        m_server->expect("GET", path, ScriptedResponse::ok(cab));
    }

    // setupProgram: where Finish would start set-up, when asked.
    RecordingView run(bool signedBuild = true, QString *setupProgram = nullptr)
    {
        RecordingView view;
        SettingsStore settings(m_home->iniPath());
        HttpTransfer transfer;
        transfer.setRequestTimeout(10);
        transfer.setRetries(1, 0);
        UpdateRun updateRun(view, settings, transfer, m_app->path(),
                            QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()));
        updateRun.setTrustedKeys(signedBuild ? std::optional(QList<minisign::PublicKey>{m_key})
                                             : std::nullopt);
        updateRun.setElevation(m_launcher.get(), m_local->path());
        updateRun.start();
        if (setupProgram) {
            *setupProgram = updateRun.folders().setupProgram();
        }
        return view;
    }

    QString stored(SettingKey key) const
    {
        const SettingsStore settings(m_home->iniPath());
        return settings.read(key);
    }

    QString m_secretKey;
    minisign::PublicKey m_key;
    std::unique_ptr<SettingsFile> m_home;
    std::unique_ptr<QTemporaryDir> m_local;
    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<AppFolder> m_app;
    std::unique_ptr<Lockdown> m_lockdown;
    std::unique_ptr<TestLauncher> m_launcher;
    QMap<QString, QByteArray> m_before;
};

QTEST_GUILESS_MAIN(TestElevation)
#include "tst_elevation.moc"
