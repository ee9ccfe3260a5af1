#include "base/DurableFile.h"
#include "install/Transaction.h"
#include "settings/SettingsStore.h"
#include "support/AppFolder.h"
#include "support/CabBuilder.h"
#include "support/Files.h"
#include "support/Immutable.h"
#include "support/RecordingView.h"
#include "support/ScriptedServer.h"
#include "transfer/HttpTransfer.h"
#include "update/Explanation.h"
#include "update/UpdateRun.h"
#include "update/UpdateView.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate;
using namespace freshgate::test;

namespace {

const QString kTick = QStringLiteral("tick/No updates available");
const QString kSaved = QStringLiteral("save/Update installed");
const QString kFailed = QStringLiteral("delete/Update failed");
// The texts themselves are the string table's, checked where it is tested; it loads only once
// the test runs.
QString contactFailed()
{
    return QStringLiteral("warning ") + LoadResString(StringId::ContactFailed);
}
QString partlyDone()
{
    return QStringLiteral("warning ") + partlyDoneFirstLine();
}

} // namespace

class TestUpdateRun : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_home.clear();
        m_app = std::make_unique<AppFolder>();
        m_server = std::make_unique<ScriptedServer>();
        m_view = RecordingView();
        m_tries = 1;
    }

    void cleanup()
    {
        QVERIFY2(m_server->unmetExpectations().isEmpty(),
                 qPrintable(m_server->unmetExpectations().join(QLatin1Char(','))));
    }

    void nothingNewer()
    {
        serveManifest("1*1*1*400*0");
        QVERIFY(m_app->write(QStringLiteral("Freshgate/old.cab"), "from an earlier run"));
        run();
        QCOMPARE(m_view.rowStates(), (QStringList{kTick, kTick, kTick, kTick}));
        QCOMPARE(m_view.explanation, LoadResString(StringId::NothingNewer));
        QCOMPARE(m_view.mode, FinishMode::RunProduct);
        QCOMPARE(m_view.progress, (QList<double>{1, 100}));
        QVERIFY(m_view.history.contains(QStringLiteral("finish enabled")));
        QVERIFY(!QFile::exists(m_home.iniPath()));
        // Every run starts from an empty work folder.
        QVERIFY(!m_app->exists(QStringLiteral("Freshgate/old.cab")));
        QVERIFY(m_app->exists(QStringLiteral("Freshgate")));
    }

    void onlyTheNewerComponentIsFetched()
    {
        serveManifest("2*1*1*400*0");
        serve("ov4res.cab", gcabCabinetBytes({{"Orvane4.res", "resources v2"}}));
        run();
        QCOMPARE(m_view.rowStates(), (QStringList{kSaved, kTick, kTick, kTick}));
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.res")), QByteArray("resources v2"));
        QCOMPARE(m_view.progress, (QList<double>{1, 20, 40, 60, 80, 100}));
        // Between those steps the bar creeps with each state of the two transfers.
        QVERIFY2(m_view.transferStates >= 4, qPrintable(QString::number(m_view.transferStates)));
        QCOMPARE(m_view.explanation, LoadResString(StringId::DoneRunProduct));
        QCOMPARE(storedVersion(SettingKey::ResourceVersion), QStringLiteral("2"));
        // Only the installed component's key is written; defaults stay in memory.
        const QString ini = m_home.iniText();
        QCOMPARE(ini.count(QLatin1String("version")), 1);
        QCOMPARE(
            m_view.history.mid(0, 5),
            (QStringList{"row 1 downloading/Checking...", "row 1 downloading/Downloading...",
                         "row 1 downloading/Processing...", "row 1 " + kSaved, "row 2 " + kTick}));
    }

    void equalVersionsNeverUpdate()
    {
        QVERIFY(m_home.writeIni("[Freshgate]\nResource%20file%20version=5\nData%20files%20version="
                                "7\nHelp%20file%20version=3\nEXE%20file%20version=415\n"));
        serveManifest("5*7*3*415*410");
        run();
        QCOMPARE(m_view.rowStates(), (QStringList{kTick, kTick, kTick, kTick}));
    }

    void manifestVariants_data()
    {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<bool>("fetchesResource");
        QTest::newRow("line break at the end") << QByteArray("2*1*1*400*0\r\n") << true;
        QTest::newRow("sixth field") << QByteArray("2*1*1*400*0*99") << true;
        QTest::newRow("letters") << QByteArray("2a*1*1*400*0") << false;
        QTest::newRow("out of range") << QByteArray("40000*1*1*400*0") << false;
        QTest::newRow("too few fields") << QByteArray("2") << true;
        QTest::newRow("blanks around") << QByteArray(" 2 *1*1*400*0") << true;
        QTest::newRow("sign and tab") << QByteArray("+2\t*1*1*400*0") << true;
        QTest::newRow("leading zeros") << QByteArray("0002\r\n*1*1*400*0") << true;
    }

    void manifestVariants()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(bool, fetchesResource);
        serveManifest(manifest);
        if (fetchesResource) {
            serve("ov4res.cab", gcabCabinetBytes({{"Orvane4.res", "new"}}));
        }
        run();
        QCOMPARE(m_view.rowStates().at(0), fetchesResource ? kSaved : kTick);
        QCOMPARE(m_view.rowStates().mid(1), (QStringList{kTick, kTick, kTick}));
        QVERIFY(!m_view.history.contains(QStringLiteral("reEnable")));
        // The store gets the number the offer reads as, whatever surrounded it.
        QCOMPARE(storedVersion(SettingKey::ResourceVersion),
                 fetchesResource ? QStringLiteral("2") : QString());
    }

    void unusableManifest_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("empty body") << 200 << QByteArray();
        QTest::newRow("not found") << 404 << QByteArray("2*2*2*500*0");
        QTest::newRow("server error") << 500 << QByteArray("2*2*2*500*0");
        QTest::newRow("sign-in page")
            << 200 << QByteArray("<html><body><form>Sign in to continue</form></body></html>");
        QTest::newRow("stars but no version") << 200 << QByteArray("** maintenance ** back soon *");
    }

    void unusableManifest()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        m_server->expect("GET", "/freshgate/ov4arv.dat",
                         ScriptedResponse::withStatus(status, body));
        run();
        QCOMPARE(m_view.history,
                 (QStringList{"row 1 downloading/Checking...", contactFailed(), "reEnable"}));
        QCOMPARE(m_view.progress, QList<double>{1});
        QVERIFY(!QFile::exists(m_home.iniPath()));
    }

    void unreachableServer()
    {
        m_base = QStringLiteral("http://127.0.0.1:1");
        run();
        QCOMPARE(m_view.history,
                 (QStringList{"row 1 downloading/Checking...", contactFailed(), "reEnable"}));
    }

    void programPackages_data()
    {
        QTest::addColumn<QByteArray>("installed");
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<bool>("full");
        QTest::newRow("400 up to 410: full")
            << QByteArray("400") << QByteArray("1*1*1*415*410") << true;
        QTest::newRow("410 up to 410: full")
            << QByteArray("410") << QByteArray("1*1*1*415*410") << true;
        QTest::newRow("412 past 410: patch")
            << QByteArray("412") << QByteArray("1*1*1*415*410") << false;
        QTest::newRow("default 400, threshold 0: patch")
            << QByteArray() << QByteArray("1*1*1*401*0") << false;
        QTest::newRow("unreadable threshold: full")
            << QByteArray("412") << QByteArray("1*1*1*415*x") << true;
    }

    void programPackages()
    {
        QFETCH(QByteArray, installed);
        QFETCH(QByteArray, manifest);
        QFETCH(bool, full);
        if (!installed.isEmpty()) {
            QVERIFY(m_home.writeIni("[Freshgate]\nEXE%20file%20version=" + installed + "\n"));
        }
        QVERIFY(m_app->write(QStringLiteral("Orvane4.exe"), "old program"));
        serveManifest(manifest);
        if (full) {
            serve("ov4fexe.cab",
                  gcabCabinetBytes({{"setup.exe", "set-up program"}, {"payload.dat", "payload"}}));
        } else {
            serve("ov4exe.cab", gcabCabinetBytes({{"Orvane4.exe", "new program"}}));
        }
        run();

        const QString offered = QString::fromLatin1(manifest).section(QLatin1Char('*'), 3, 3);
        QCOMPARE(m_view.rowStates(), (QStringList{kTick, kTick, kTick, kSaved}));
        // A full package is recorded only once Finish has started its set-up.
        QCOMPARE(storedVersion(SettingKey::ExeVersion),
                 full ? QString::fromLatin1(installed) : offered);
        if (full) {
            QCOMPARE(m_view.mode, FinishMode::RunSetup);
            QCOMPARE(m_view.explanation, LoadResString(StringId::DoneRunSetup));
            QCOMPARE(m_app->read(QStringLiteral("Freshgate/setup.exe")),
                     QByteArray("set-up program"));
            // The product stays as it is until its set-up runs.
            QCOMPARE(m_app->read(QStringLiteral("Orvane4.exe")), QByteArray("old program"));
        } else {
            QCOMPARE(m_view.mode, FinishMode::RunProduct);
            QCOMPARE(m_view.explanation, LoadResString(StringId::DoneRunProduct));
            QCOMPARE(m_app->read(QStringLiteral("Orvane4.exe")), QByteArray("new program"));
        }
    }

    // The patch may arrive where the old program is already gone.
    void patchWithoutAnOldProgram()
    {
        QVERIFY(m_home.writeIni("[Freshgate]\nEXE%20file%20version=412\n"));
        serveManifest("1*1*1*415*410");
        serve("ov4exe.cab", gcabCabinetBytes({{"Orvane4.exe", "new program"}}));
        run();
        QCOMPARE(m_view.rowStates().at(3), kSaved);
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.exe")), QByteArray("new program"));
    }

    // A broken patch leaves the old program in place and its version unrecorded.
    void brokenPatchKeepsTheOldProgram()
    {
        QVERIFY(m_home.writeIni("[Freshgate]\nEXE%20file%20version=412\n"));
        QVERIFY(m_app->write(QStringLiteral("Orvane4.exe"), "old program"));
        serveManifest("1*1*1*415*410");
        QByteArray cabinet = gcabCabinetBytes({{"Orvane4.exe", QByteArray(40000, 'p')}});
        cabinet.truncate(cabinet.size() / 2);
        serve("ov4exe.cab", cabinet);
        run();
        QCOMPARE(m_view.rowStates().at(3), kFailed);
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.exe")), QByteArray("old program"));
        QCOMPARE(storedVersion(SettingKey::ExeVersion), QStringLiteral("412"));
        QCOMPARE(m_view.mode, FinishMode::RunProduct);
    }

    void patchMustHoldTheProgram_data()
    {
        QTest::addColumn<QByteArray>("member");
        QTest::addColumn<bool>("installs");
        QTest::newRow("the program") << QByteArray("Orvane4.exe") << true;
        QTest::newRow("the program, other case") << QByteArray("ORVANE4.exe") << true;
        QTest::newRow("something else") << QByteArray("readme.txt") << false;
        QTest::newRow("the program in a folder") << QByteArray("bin\\Orvane4.exe") << false;
    }

    // A patch is only a patch if it brings the program: a wrong upload never takes the
    // product's program away. Names compare as Windows compares them, and the program keeps
    // its own spelling.
    void patchMustHoldTheProgram()
    {
        QFETCH(QByteArray, member);
        QFETCH(bool, installs);
        QVERIFY(m_home.writeIni("[Freshgate]\nEXE%20file%20version=412\n"));
        QVERIFY(m_app->write(QStringLiteral("Orvane4.exe"), "old program"));
        serveManifest("1*1*1*415*410");
        serve("ov4exe.cab", cabinetBytes({{member, "new program", 0}}));
        run();

        QCOMPARE(m_view.rowStates().at(3), installs ? kSaved : kFailed);
        QCOMPARE(m_app->read(QStringLiteral("Orvane4.exe")),
                 installs ? QByteArray("new program") : QByteArray("old program"));
        QCOMPARE(storedVersion(SettingKey::ExeVersion),
                 installs ? QStringLiteral("415") : QStringLiteral("412"));
        QCOMPARE(m_view.mode, FinishMode::RunProduct);
        // Only the one spelling is there afterwards.
        QCOMPARE(QDir(m_app->path()).entryList({QStringLiteral("*.exe")}, QDir::Files),
                 QStringList{QStringLiteral("Orvane4.exe")});
    }

    // Finish must not offer a set-up program the package did not bring.
    void fullPackageWithoutSetup()
    {
        serveManifest("1*1*1*415*410");
        serve("ov4fexe.cab", gcabCabinetBytes({{"readme.txt", "no set-up here"}}));
        run();
        QCOMPARE(m_view.rowStates().at(3), kFailed);
        QCOMPARE(m_view.mode, FinishMode::RunProduct);
        // Not "all available updates are complete": one was not, and is tried again.
        QCOMPARE(m_view.explanation, partlyDoneCaption(FinishMode::RunProduct));
        QCOMPARE(m_view.history.mid(m_view.history.size() - 2),
                 (QStringList{partlyDone(), QStringLiteral("finish enabled")}));
        QVERIFY2(m_view.explanations.value(0).startsWith(QLatin1String("Program files: ")),
                 qPrintable(m_view.explanations.value(0)));
        QVERIFY2(m_view.technicalLines.value(0).contains(QLatin1String("holds no setup.exe")),
                 qPrintable(m_view.technicalLines.value(0)));
        QVERIFY(!QFile::exists(m_home.iniPath()));
    }

    void failedDownloadKeepsWhatWasInstalled()
    {
        serveManifest("2*3*4*400*0");
        serve("ov4res.cab", gcabCabinetBytes({{"Orvane4.res", "resources v2"}}));
        serve("ov4data.cab", gcabCabinetBytes({{"core.dat", "data v3"}}));
        m_server->expect("GET", "/freshgate/ov4help.cab", ScriptedResponse::withStatus(404));
        run();
        QCOMPARE(m_view.history.mid(m_view.history.size() - 3),
                 (QStringList{"row 3 downloading/Downloading...", contactFailed(), "reEnable"}));
        QCOMPARE(m_view.rowStates(),
                 (QStringList{kSaved, kSaved, QStringLiteral("downloading/Downloading..."),
                              QStringLiteral("closedfolder/Waiting...")}));
        QCOMPARE(storedVersion(SettingKey::ResourceVersion), QStringLiteral("2"));
        QCOMPARE(storedVersion(SettingKey::DataVersion), QStringLiteral("3"));
        QCOMPARE(storedVersion(SettingKey::HelpVersion), QString());
        QCOMPARE(m_app->read(QStringLiteral("Data/core.dat")), QByteArray("data v3"));
        // The warning says which file the server lacks, and the technical line keeps the status.
        QVERIFY2(m_view.explanations.value(0).contains(QLatin1String("has no ov4help.cab")),
                 qPrintable(m_view.explanations.value(0)));
        QVERIFY(m_view.technicalLines.value(0).contains(QLatin1String("404")));
        QVERIFY(!m_view.history.contains(QStringLiteral("finish enabled")));
    }

    void badDataArchive_data()
    {
        QTest::addColumn<QByteArray>("archive");
        const QByteArray good = gcabCabinetBytes(
            {{"core.dat", QByteArray(50000, 'd')}, {"more.dat", QByteArray(50000, 'e')}});
        QByteArray truncated = good.left(good.size() * 2 / 3);
        QByteArray corrupt = good;
        for (qsizetype i = corrupt.size() / 2; i < corrupt.size() / 2 + 16; ++i) {
            corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
        }
        QTest::newRow("truncated") << truncated;
        QTest::newRow("corrupt") << corrupt;
        QTest::newRow("not a cabinet") << QByteArray("<html>not found</html>");
        QTest::newRow("climbs out") << cabinetBytes({{"..\\evil.dat", "x", 0}});
        QTest::newRow("absolute") << cabinetBytes({{"/abs.dat", "x", 0}});
        QTest::newRow("climbs out nested") << cabinetBytes({{"a\\..\\..\\b.dat", "x", 0}});
        QTest::newRow("drive") << cabinetBytes({{"C:\\evil.dat", "x", 0}});
        QTest::newRow("good then hostile")
            << cabinetBytes({{"core.dat", "replaced", 0}, {"..\\evil.dat", "x", 0}});
    }

    // A data archive that cannot be used fails its own row only: the data folder
    // is as it was, its version is not recorded, and the run goes on.
    void badDataArchive()
    {
        QFETCH(QByteArray, archive);
        QVERIFY(!archive.isEmpty());
        QVERIFY(m_app->write(QStringLiteral("Data/core.dat"), "data v1"));
        const auto before = m_app->snapshot();
        serveManifest("1*2*2*401*0");
        serve("ov4data.cab", archive);
        serve("ov4help.cab", gcabCabinetBytes({{"Orvane4.chm", "help v2"}}));
        serve("ov4exe.cab", gcabCabinetBytes({{"Orvane4.exe", "program v401"}}));
        run();

        QCOMPARE(m_view.rowStates(), (QStringList{kTick, kFailed, kSaved, kSaved}));
        // The failed row says why to whoever points at it; the others have nothing to say.
        QVERIFY2(m_view.tips[1].contains(QLatin1String("ov4data.cab could not be unpacked")),
                 qPrintable(m_view.tips[1]));
        QVERIFY(m_view.tips[2].isEmpty());
        // The end names the row and its reason once, in one box; the run still ended.
        QCOMPARE(m_view.history.count(partlyDone()), 1);
        QCOMPARE(m_view.explanations.size(), 1);
        QVERIFY(
            m_view.explanations.first().startsWith(QStringLiteral("DataCore: ") + m_view.tips[1]));
        QVERIFY(m_view.technicalLines.first().startsWith(QLatin1String("DataCore: installing "
                                                                       "DataCore: ")));
        QCOMPARE(m_view.explanation, partlyDoneCaption(FinishMode::RunProduct));
        QVERIFY(m_view.finished());
        QCOMPARE(storedVersion(SettingKey::DataVersion), QString());
        QCOMPARE(storedVersion(SettingKey::HelpVersion), QStringLiteral("2"));
        auto after = m_app->snapshot();
        QCOMPARE(after.take(QStringLiteral("Orvane4.chm")), QByteArray("help v2"));
        QCOMPARE(after.take(QStringLiteral("Orvane4.exe")), QByteArray("program v401"));
        for (const QString &name : after.keys()) {
            if (name.startsWith(QLatin1String("Freshgate/"))) {
                after.remove(name);
            }
        }
        QCOMPARE(after, before);
        QVERIFY(
            !QFile::exists(QFileInfo(m_app->path()).absolutePath() + QStringLiteral("/evil.dat")));
    }

    // A folder or settings file this computer will not let Freshgate write is found before the
    // first download. The work folder ends the run with a box that names it; a component's own
    // folder, or the settings that would record it, fails that row at once, with nothing of it
    // downloaded, and the rest go on. Root ignores permissions, so immutable files stand in for
    // a read-only mount.
    void localCauses_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("named");
        QTest::addColumn<QString>("says");
        QTest::newRow("Data immutable")
            << "immutable Data" << QStringList{kTick, kFailed, kSaved, kTick} << "Data"
            << "You may not change";
        QTest::newRow("a file where Data belongs")
            << "file Data" << QStringList{kTick, kFailed, kSaved, kTick} << "Data"
            << "in its way";
        QTest::newRow("settings immutable")
            << "immutable settings" << QStringList{kTick, kFailed, kFailed, kTick} << "settings"
            << "You may not change";
        QTest::newRow("a file where the work folder belongs")
            << "file Freshgate" << QStringList(4, QStringLiteral("closedfolder/Waiting..."))
            << "Freshgate"
            << "in its way";
    }

    void localCauses()
    {
        QFETCH(QString, cause);
        QFETCH(QStringList, rows);
        QFETCH(QString, named);
        QFETCH(QString, says);
        QVERIFY(m_home.writeIni("[Freshgate]\nResource%20file%20version=1\n"));
        if (cause == QLatin1String("file Data")) {
            QVERIFY(m_app->write(QStringLiteral("Data"), "not a folder"));
        } else if (cause == QLatin1String("file Freshgate")) {
            QVERIFY(m_app->write(QStringLiteral("Freshgate"), "not a folder"));
        } else {
            QVERIFY(m_app->write(QStringLiteral("Data/core.dat"), "data v1"));
        }
        const auto before = m_app->snapshot(QStringLiteral("Data"));
        std::unique_ptr<Immutable> guard;
        if (cause.startsWith(QLatin1String("immutable"))) {
            guard = std::make_unique<Immutable>(cause.endsWith(QLatin1String("Data"))
                                                    ? m_app->filePath(QStringLiteral("Data"))
                                                    : m_home.iniPath());
            if (!guard->isSet()) {
                QSKIP("cannot make a file immutable here");
            }
        }
        if (cause != QLatin1String("file Freshgate")) {
            serveManifest("1*2*2*400*0");
        }
        if (rows.at(2) == kSaved) {
            serve("ov4help.cab", gcabCabinetBytes({{"Orvane4.chm", "help v2"}}));
        }
        run();
        guard.reset();

        QCOMPARE(m_view.rowStates(), rows);
        QCOMPARE(m_app->snapshot(QStringLiteral("Data")), before);
        QCOMPARE(storedVersion(SettingKey::DataVersion), QString());
        // The box says this computer is the cause, names the place, and says what to do.
        const QString first =
            QStringLiteral("warning ") + firstLine(failure(FailureKind::Disk, {}));
        QVERIFY2(m_view.history.contains(cause == QLatin1String("file Freshgate") ? first
                                                                                  : partlyDone()),
                 qPrintable(m_view.history.join(u'|')));
        const QString place =
            named == QLatin1String("settings") ? m_home.iniPath() : m_app->filePath(named);
        const QString told = m_view.explanations.join(u' ');
        QVERIFY2(told.contains(QLatin1Char('"') + place + QLatin1Char('"')) && told.contains(says),
                 qPrintable(told));
        QVERIFY(!told.contains(LoadResString(StringId::ContactFailed)));

        // Nothing was left to stand in the way: once the folder may be written, the next run in
        // the same folder goes on normally.
        if (cause == QLatin1String("immutable Data")) {
            m_view = RecordingView();
            serveManifest("1*2*2*400*0");
            serve("ov4data.cab", gcabCabinetBytes({{"core.dat", "data v2"}}));
            run();
            QCOMPARE(m_view.rowStates(), (QStringList{kTick, kSaved, kTick, kTick}));
            QCOMPARE(m_app->read(QStringLiteral("Data/core.dat")), QByteArray("data v2"));
        }
    }

    // A download shows how much has come, a few times a second, and the run's story stays
    // the rows' own states.
    void downloadShowsItsAmount()
    {
        serveManifest("2*1*1*400*0");
        // Stored, not compressed, so the archive is as large as its contents.
        QTemporaryDir made;
        const QString cabinet = made.filePath(QStringLiteral("res.cab"));
        QVERIFY(writeCabinet(cabinet, {{"Orvane4.res", QByteArray(qsizetype{1500} * 1000, 'r'), 0}},
                             CabCompression::None));
        m_server->expect("GET", "/freshgate/ov4res.cab",
                         ScriptedResponse::paced(readFile(cabinet), qint64{100} * 1000, 100));
        run();
        QCOMPARE(m_view.rowStates().at(0), kSaved);
        QVERIFY2(m_view.details.size() >= 3, qPrintable(m_view.details.join(u'|')));
        QVERIFY2(m_view.details.first().startsWith(QLatin1String("row 1 0.0 of ")),
                 qPrintable(m_view.details.first()));
        for (const QString &detail : m_view.details) {
            QVERIFY2(detail.contains(
                         QRegularExpression(QStringLiteral("^row 1 \\d+\\.\\d of \\d+\\.\\d MB$"))),
                     qPrintable(detail));
        }
    }

    // A busy server gets another try; the row says which, and the warning waits for the last.
    void busyServerIsTriedAgain()
    {
        m_tries = 3;
        serveManifest("2*1*1*400*0");
        m_server->expect("GET", "/freshgate/ov4res.cab", ScriptedResponse::withStatus(503));
        serve("ov4res.cab", gcabCabinetBytes({{"Orvane4.res", "resources v2"}}));
        run();
        QCOMPARE(m_view.rowStates().at(0), kSaved);
        QVERIFY(!m_view.warned());
        QVERIFY2(m_view.details.contains(QStringLiteral("row 1 (try 2 of 3)")),
                 qPrintable(m_view.details.join(u'|')));
    }

    void unreadableStoredVersionIsRepaired()
    {
        QVERIFY(m_home.writeIni("[Freshgate]\nHelp%20file%20version=two\n"));
        serveManifest("1*1*2*400*0");
        serve("ov4help.cab", gcabCabinetBytes({{"Orvane4.chm", "help v2"}}));
        run();
        QCOMPARE(m_view.rowStates().at(2), kSaved);
        QCOMPARE(storedVersion(SettingKey::HelpVersion), QStringLiteral("2"));
    }

    // A run starts by finishing or undoing what a crashed one left, then empties the work
    // folder whole: files and folders, except what recovery keeps.
    void startUpRecoversAnInterruptedInstall_data()
    {
        QTest::addColumn<QString>("journal"); // "committed", "moved" or "unreadable"
        QTest::addColumn<QByteArray>("dataAfter");
        QTest::addColumn<QString>("recordedAfter");
        QTest::addColumn<QStringList>("workAfter");
        QTest::addColumn<QByteArray>("manifest");

        QTest::newRow("committed: rolled forward and recorded")
            << QStringLiteral("committed") << QByteArray("prices v2") << QStringLiteral("2")
            << QStringList() << QByteArray("1*1*1*400*0");
        // The offer is compared with what recovery recorded, so the same version is not
        // installed again over the recovered one.
        QTest::newRow("committed, and the server offers what it brought")
            << QStringLiteral("committed") << QByteArray("prices v2") << QStringLiteral("2")
            << QStringList() << QByteArray("1*2*1*400*0");
        QTest::newRow("moved, not committed: rolled back")
            << QStringLiteral("moved") << QByteArray("prices v1") << QString() << QStringList()
            << QByteArray("1*1*1*400*0");
        QTest::newRow("unreadable: its backups are kept")
            << QStringLiteral("unreadable") << QByteArray("prices v2") << QString()
            << QStringList{QStringLiteral("~kept"), QStringLiteral("~kept/backup-1"),
                           QStringLiteral("~kept/backup-1/0"), QStringLiteral("~kept/journal-1")}
            << QByteArray("1*1*1*400*0");
    }

    void startUpRecoversAnInterruptedInstall()
    {
        QFETCH(QString, journal);
        QFETCH(QByteArray, dataAfter);
        QFETCH(QString, recordedAfter);
        QFETCH(QStringList, workAfter);
        QFETCH(QByteArray, manifest);
        QVERIFY(m_app->write(QStringLiteral("Data/prices.dat"), "prices v1"));
        QVERIFY(m_app->write(QStringLiteral("Freshgate/~staging/0"), "prices v2"));
        // An older full package's leftovers.
        QVERIFY(m_app->write(QStringLiteral("Freshgate/redist/old-runtime.dll"), "old"));
        QVERIFY(m_app->write(QStringLiteral("Freshgate/setup.exe"), "old set-up"));
        {
            Transaction transaction(toPath(m_app->workFolder()),
                                    toPath(m_app->filePath(QStringLiteral("Data"))));
            QVERIFY(transaction.plan({{QStringLiteral("0"), QStringLiteral("prices.dat")}}, {}) &&
                    transaction.begin(VersionRecord{SettingKey::DataVersion, 2}) &&
                    transaction.apply());
            if (journal == QLatin1String("committed")) {
                QVERIFY(transaction.commit());
            }
        }
        if (journal == QLatin1String("unreadable")) {
            QVERIFY(m_app->write(QStringLiteral("Freshgate/~journal-1"), "{\"format\":1,\"dest"));
        }
        serveManifest(manifest);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("interrupted|cannot be used")));
        run();

        QCOMPARE(m_view.rowStates(), (QStringList{kTick, kTick, kTick, kTick}));
        QCOMPARE(m_app->read(QStringLiteral("Data/prices.dat")), dataAfter);
        QCOMPARE(storedVersion(SettingKey::DataVersion), recordedAfter);
        QCOMPARE(snapshotTree(m_app->workFolder()).keys(), workAfter);
        if (journal == QLatin1String("unreadable")) {
            QCOMPARE(m_app->read(QStringLiteral("Freshgate/~kept/backup-1/0")), "prices v1");
        }
    }

private:
    void serveManifest(const QByteArray &body)
    {
        m_server->expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok(body));
    }

    void serve(const char *file, const QByteArray &body)
    {
        QVERIFY(!body.isEmpty());
        m_server->expect("GET", QByteArray("/freshgate/") + file, ScriptedResponse::ok(body));
    }

    void run()
    {
        SettingsStore settings(m_home.iniPath());
        HttpTransfer transfer;
        transfer.setRequestTimeout(10);
        transfer.setRetries(m_tries, 50);
        const QString base =
            m_base.isEmpty() ? QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()) : m_base;
        UpdateRun updateRun(m_view, settings, transfer, m_app->path(), base);
        updateRun.start();
        QVERIFY(!updateRun.isRunning());
        m_base.clear();
    }

    QString storedVersion(SettingKey key) const
    {
        SettingsStore settings(m_home.iniPath());
        return settings.read(key);
    }

    SettingsFile m_home;
    std::unique_ptr<AppFolder> m_app;
    std::unique_ptr<ScriptedServer> m_server;
    RecordingView m_view;
    QString m_base;
    // One try each, unless a test is about trying again.
    int m_tries = 1;
};

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "tst_update_run.moc"
