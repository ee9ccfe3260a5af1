#include "app/Form1.h"
#include "platform/Help.h"
#include "platform/StringTable.h"
#include "settings/SettingsStore.h"
#include "support/AppFolder.h"
#include "support/CabBuilder.h"
#include "support/ChmBuilder.h"
#include "support/Files.h"
#include "support/ScriptedServer.h"
#include "update/Explanation.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>

using namespace freshgate;
using freshgate::test::AppFolder;
using freshgate::test::ScriptedResponse;
using freshgate::test::ScriptedServer;
using freshgate::test::SettingsFile;

namespace {

QMessageBox *visibleMessageBox()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

QStringList rowStates(Form1 &form)
{
    QStringList states;
    for (int row = 1; row <= 4; ++row) {
        states << form.rowIconKey(row) + QLatin1Char('/') +
                      form.lstProgress()->topLevelItem(row - 1)->text(1);
    }
    return states;
}

QStringList repeated(const QString &state)
{
    return {state, state, state, state};
}

// What a warning box showed, and the window behind it while it was up.
struct SeenBox {
    QString text;
    QString explanation;
    QString details;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList rowsMeanwhile;
    bool finishMeanwhile = true;
};

// The warning is modal: it runs inside the run, so it is read and answered from a timer while
// its own event loop spins. Empty text when none came within timeoutMs.
SeenBox answerBox(Form1 &form, int timeoutMs = 8000)
{
    SeenBox seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &form, [&] {
        if (QMessageBox *box = visibleMessageBox()) {
            poll.stop();
            seen = {box->text(), box->informativeText(), box->detailedText(),
                    box->icon(), rowStates(form),        form.Command1()->isEnabled()};
            QTest::keyClick(box, Qt::Key_Return);
        }
    });
    poll.start(50);
    (void)QTest::qWaitFor([&] { return !seen.text.isEmpty(); }, timeoutMs);
    return seen;
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Finish closes the window; the test, not the last window, ends the process.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void init() { m_home.clear(); }

    void loadsWithItsTextsAndRows()
    {
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QStringLiteral("http://127.0.0.1:9"));

        // Which text goes where; the texts themselves are the string table's own test.
        QCOMPARE(form.windowTitle(), LoadResString(StringId::WindowTitle));
        QCOMPARE(form.Label1()->text(), LoadResString(StringId::Headline));
        QCOMPARE(form.labLabel()->text(), LoadResString(StringId::BePatient));
        QCOMPARE(form.Command1()->text(), LoadResString(StringId::FinishButton));
        QVERIFY(!form.Command1()->isEnabled());
        QCOMPARE(form.finishTag(), QStringLiteral("0"));

        QTreeWidget *list = form.lstProgress();
        QCOMPARE(list->headerItem()->text(0), QStringLiteral("Task"));
        QCOMPARE(list->headerItem()->text(1), QStringLiteral("Status"));
        QCOMPARE(list->topLevelItemCount(), 4);
        const QStringList tasks{"Resource files", "DataCore", "Help file", "Program files"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(list->topLevelItem(i)->text(0), tasks[i]);
            QVERIFY(!list->topLevelItem(i)->icon(0).isNull());
        }
        QCOMPARE(rowStates(form), repeated(QStringLiteral("closedfolder/Waiting...")));
        QCOMPARE(form.progressValue(), 0.0);
        QCOMPARE(form.Inet1().requestTimeout(), 60);

        // Fixed size, no minimise or maximise button.
        QCOMPARE(form.size(), QSize(402, 210));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(!(form.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form.windowFlags() & Qt::WindowCloseButtonHint);
        QCOMPARE(form.windowIcon().availableSizes().value(0), QSize(32, 32));

        // A screen reader names each control and says what it is for.
        for (QWidget *control :
             QList<QWidget *>{list, form.progProgress(), form.labLabel(), form.Command1()}) {
            QAccessibleInterface *face = QAccessible::queryAccessibleInterface(control);
            QVERIFY(face);
            QVERIFY2(!face->text(QAccessible::Name).isEmpty(), control->metaObject()->className());
            QVERIFY2(!face->text(QAccessible::Description).isEmpty(),
                     control->metaObject()->className());
        }
        // The headline is drawn over the progress strip it overlaps, not under it.
        const QObjectList stacking = form.children();
        QVERIFY(stacking.indexOf(form.Label1()) > stacking.indexOf(form.progProgress()->parent()));

        // All four tasks are in view at once.
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!list->verticalScrollBar()->isVisible());
        const QRect lastRow = list->visualItemRect(list->topLevelItem(3));
        QVERIFY(list->viewport()->rect().contains(lastRow));

        // Each picture is the one its image-list key names.
        const QList<std::pair<RowIcon, const char *>> images = {
            {RowIcon::Downloading, "downloading"},
            {RowIcon::Tick, "tick"},
            {RowIcon::ClosedFolder, "closedfolder"},
            {RowIcon::Save, "save"},
            {RowIcon::Delete, "delete"}};
        for (const auto &[icon, key] : images) {
            QCOMPARE(imageKey(icon), QLatin1String(key));
            const QImage image = Form1::listImage(icon).pixmap(16, 16).toImage();
            QCOMPARE(image.size(), QSize(16, 16));
        }
    }

    // The window reads the setting and hands on what the time-out rule makes of it: "0" is no
    // time-out, "1200" is no valid setting. The rule's own table is the transfer rules' test's.
    void readsTheTimeOutSetting_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("seconds");
        QTest::newRow("0") << QByteArray("0") << 0;
        QTest::newRow("1200") << QByteArray("1200") << 60;
    }

    void readsTheTimeOutSetting()
    {
        QFETCH(QByteArray, stored);
        QFETCH(int, seconds);
        QVERIFY(m_home.writeIni("[User%20preferences]\nHTTP%20timeout=" + stored + "\n"));
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QStringLiteral("http://127.0.0.1:9"));
        QCOMPARE(form.Inet1().requestTimeout(), seconds);
    }

    // The run starts once, two seconds after the window is shown.
    void timerStartsTheRunOnce()
    {
        ScriptedServer server;
        server.expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok("1*1*1*400*0"));
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), server.url(QString()));

        QElapsedTimer clock;
        form.show();
        clock.start();
        QVERIFY(form.Timer1().isActive());
        QCOMPARE(form.Timer1().interval(), 2000);
        QTest::qWait(1500);
        QVERIFY(server.requests().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(rowStates(form),
                                  repeated(QStringLiteral("tick/No updates available")), 5000);
        QVERIFY2(clock.elapsed() >= 1900, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!form.Timer1().isActive());

        QCOMPARE(form.labLabel()->text(), LoadResString(450));
        QVERIFY(form.Command1()->isEnabled());
        QCOMPARE(form.progressValue(), 100.0);

        QTest::qWait(2500);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(!QFile::exists(m_home.iniPath()));
    }

    void unreachableServerShowsTheWarning()
    {
        ScriptedServer server;
        server.expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::withStatus(404, "gone"));
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), server.url(QString()));
        form.show();

        form.setLogPath(QStringLiteral("/home/u/.local/state/freshgate/last-run.log"));
        form.show();
        const SeenBox box = answerBox(form);
        QCOMPARE(box.text, LoadResString(448));
        QCOMPARE(box.icon, QMessageBox::Warning);
        // Under the product's own text: why, and what to do; the status for whoever asks, and
        // where the whole run is written down.
        QCOMPARE(box.explanation,
                 QStringLiteral("The update server has no ov4arv.dat. Tell the maker of Orvane4."));
        QVERIFY2(box.details.contains(QLatin1String("404")), qPrintable(box.details));
        QVERIFY2(box.details.endsWith(QLatin1String(
                     "The log of this run: /home/u/.local/state/freshgate/last-run.log")),
                 qPrintable(box.details));
        // Nothing but the first row moved while the warning was up.
        QCOMPARE(box.rowsMeanwhile,
                 (QStringList{"downloading/Checking...", "closedfolder/Waiting...",
                              "closedfolder/Waiting...", "closedfolder/Waiting..."}));
        QVERIFY(!box.finishMeanwhile);

        QTRY_COMPARE(rowStates(form), repeated(QStringLiteral("delete/Update failed")));
        QCOMPARE(form.labLabel()->text(), LoadResString(458));
        QCOMPARE(form.finishTag(), QStringLiteral("0"));
        QVERIFY(form.Command1()->isEnabled());
        QCOMPARE(form.progressValue(), 100.0);
    }

    // A component that could not be installed ends the run with one box that names its row and
    // why; the caption does not claim every update is complete. On the way, what the row shows
    // while its archive is tried again fits its column.
    void failedComponentIsNamedAtTheEnd()
    {
        ScriptedServer server;
        server.expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok("2*2*1*400*0"));
        QTemporaryDir made;
        const QString cabinet = made.filePath(QStringLiteral("res.cab"));
        QVERIFY(freshgate::test::writeCabinet(
            cabinet, {{"Orvane4.res", QByteArray(qsizetype{900} * 1000, 'r'), 0}},
            freshgate::test::CabCompression::None));
        server.expect("GET", "/freshgate/ov4res.cab", ScriptedResponse::withStatus(503));
        server.expect("GET", "/freshgate/ov4res.cab",
                      ScriptedResponse::paced(freshgate::test::readFile(cabinet), 90000, 60));
        server.expect("GET", "/freshgate/ov4data.cab", ScriptedResponse::ok("not a cabinet"));
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), server.url(QString()));
        form.Inet1().setRetries(3, 50);
        QStringList shown;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            const QString status = form.lstProgress()->topLevelItem(0)->text(1);
            if (!shown.contains(status)) {
                shown << status;
            }
        });
        watch.start(10);
        form.show();
        const SeenBox box = answerBox(form, 15000);
        watch.stop();

        QCOMPARE(box.text, partlyDoneFirstLine());
        QVERIFY2(box.explanation.startsWith(QLatin1String("DataCore: The archive ov4data.cab")),
                 qPrintable(box.explanation));
        QVERIFY2(box.details.startsWith(QLatin1String("DataCore: installing DataCore: ")),
                 qPrintable(box.details));
        QCOMPARE(box.rowsMeanwhile,
                 (QStringList{"save/Update installed", "delete/Update failed",
                              "tick/No updates available", "tick/No updates available"}));
        QCOMPARE(form.labLabel()->text(), partlyDoneCaption(FinishMode::RunProduct));
        QTRY_VERIFY(form.Command1()->isEnabled());

        const QStringList retried = shown.filter(QStringLiteral("(try 2 of 3)"));
        QVERIFY2(!retried.filter(QStringLiteral(" MB ")).isEmpty(), qPrintable(shown.join(u'|')));
        const QFontMetrics metrics(form.lstProgress()->font());
        for (const QString &status : std::as_const(shown)) {
            QVERIFY2(metrics.horizontalAdvance(status) <= form.lstProgress()->columnWidth(1) - 8,
                     qPrintable(status));
        }
    }

    // A failed row's reason is a paragraph the width of the window, on hover and on selection.
    void failedRowTellsWhy()
    {
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QString());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QString reason = QStringLiteral(
            "\"/mnt/share/Orvane4/Data\" is on a read-only file system, so Freshgate cannot change "
            "it. Make it writable (or ask whoever manages this computer to), then try again.");
        form.setRow(2, RowIcon::Delete, StringId::UpdateFailed);
        form.setRowTip(2, reason);

        QTreeWidgetItem *item = form.lstProgress()->topLevelItem(1);
        const QString tip = item->toolTip(1);
        QCOMPARE(tip, item->toolTip(0));
        QCOMPARE(tip.simplified(), reason.simplified());
        QVERIFY2(tip.count(QLatin1Char('\n')) >= 1, qPrintable(tip));
        const QFontMetrics metrics(QToolTip::font());
        for (const QString &line : tip.split(QLatin1Char('\n'))) {
            QVERIFY2(metrics.horizontalAdvance(line) <= form.width(), qPrintable(line));
        }
        form.lstProgress()->setCurrentItem(item);
        QTRY_COMPARE(QToolTip::text(), tip);
    }

    void transferStatesMoveTheBar_data()
    {
        QTest::addColumn<double>("before");
        QTest::addColumn<double>("after");
        QTest::newRow("start") << 0.0 << 1.0;
        QTest::newRow("98") << 98.0 << 99.0;
        QTest::newRow("99") << 99.0 << 100.0;
        QTest::newRow("99.5 is below 100") << 99.5 << 100.5;
        QTest::newRow("100 stays") << 100.0 << 100.0;
        QTest::newRow("past 100 stays") << 100.5 << 100.5;
    }

    void transferStatesMoveTheBar()
    {
        QFETCH(double, before);
        QFETCH(double, after);
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QString());
        form.setProgress(before);
        form.Inet1_StateChanged(7);
        QCOMPARE(form.progressValue(), after);
        QCOMPARE(form.progProgress()->value(), qMin(100, static_cast<int>(after)));
    }

    // Every row fails but the ones whose component this run installed or found up to date.
    void reEnableMarksEverythingFailed()
    {
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QString());
        form.setRow(1, RowIcon::Save, StringId::UpdateInstalled);
        form.setRow(2, RowIcon::Tick, StringId::NoUpdates);
        form.setRow(3, RowIcon::Downloading, StringId::Downloading);
        form.setFinishTag(QStringLiteral("1"));
        form.setProgress(40);

        form.ReEnable();
        QCOMPARE(rowStates(form), (QStringList{"save/Update installed", "tick/No updates available",
                                               "delete/Update failed", "delete/Update failed"}));
        QCOMPARE(form.labLabel()->text(),
                 QStringLiteral("The update failed, please try again at another time."));
        QCOMPARE(form.finishTag(), QStringLiteral("0"));
        QVERIFY(form.Command1()->isEnabled());
        QCOMPARE(form.progressValue(), 100.0);
    }

    void finishStartsTheChosenProgram_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("started");
        QTest::newRow("product") << "0"
                                 << "Orvane4.exe";
        QTest::newRow("set-up") << "1"
                                << "Freshgate/setup.exe";
        QTest::newRow("double zero") << "00"
                                     << "";
        QTest::newRow("blank zero") << " 0"
                                    << "";
        QTest::newRow("empty") << ""
                               << "";
    }

    void finishStartsTheChosenProgram()
    {
        QFETCH(QString, tag);
        QFETCH(QString, started);
        AppFolder app;
        QVERIFY(app.writeMarkerProgram(QStringLiteral("Orvane4.exe")));
        QVERIFY(app.writeMarkerProgram(QStringLiteral("Freshgate/setup.exe")));
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QString());
        form.show();
        form.setFinishTag(tag);
        form.enableFinish();

        QTest::mouseClick(form.Command1(), Qt::LeftButton);
        if (started.isEmpty()) {
            QTest::qWait(500);
            QVERIFY(form.isVisible());
            QVERIFY(!app.exists(QStringLiteral("marker")));
            QVERIFY(!app.exists(QStringLiteral("Freshgate/marker")));
            return;
        }
        QVERIFY(!form.isVisible());
        const QString marker = app.markerFor(started);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        // The program knows what it is and runs in the application folder.
        QCOMPARE(QString::fromUtf8(freshgate::test::readFile(marker)),
                 started + QLatin1Char('\n') + app.path() + QLatin1Char('\n'));
    }

    // Finish is the default button, but only once the run has armed it.
    void returnPressesFinishOnceArmed()
    {
        AppFolder app;
        QVERIFY(app.writeMarkerProgram(QStringLiteral("Orvane4.exe")));
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QString());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::keyClick(&form, Qt::Key_Return);
        QVERIFY(form.isVisible());
        form.enableFinish();
        QTest::keyClick(&form, Qt::Key_Return);
        QVERIFY(!form.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(app.exists(QStringLiteral("marker")), 5000);
    }

    void finishCopesWithTheProgram_data()
    {
        QTest::addColumn<bool>("present");
        QTest::newRow("missing") << false;
        QTest::newRow("without its execute bit") << true;
    }

    void finishCopesWithTheProgram()
    {
        QFETCH(bool, present);
        AppFolder app;
        if (present) {
            QVERIFY(app.writeMarkerProgram(QStringLiteral("Orvane4.exe"), false));
        }
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QString());
        form.show();
        form.enableFinish();
        QTest::mouseClick(form.Command1(), Qt::LeftButton);
        QVERIFY(!form.isVisible());
        if (present) {
            QTRY_VERIFY_WITH_TIMEOUT(app.exists(QStringLiteral("marker")), 5000);
        } else {
            QTest::qWait(200);
            QVERIFY(!app.exists(QStringLiteral("marker")));
        }
    }

    void fullPackageIsRecordedWhenSetUpStarts_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("recorded");
        QTest::newRow("Finish starts set-up") << "finish" << true;
        QTest::newRow("set-up gone before Finish") << "setup gone" << false;
        QTest::newRow("window closed instead") << "close" << false;
    }

    // Until its set-up has run the product is the old one, so the full package's
    // version is recorded only once Finish has started set-up.
    void fullPackageIsRecordedWhenSetUpStarts()
    {
        QFETCH(QString, end);
        QFETCH(bool, recorded);
        AppFolder app;
        const QString setup = QStringLiteral("Freshgate/setup.exe");
        QVERIFY(app.writeMarkerProgram(setup));
        QTemporaryDir made;
        const QString cabinet = made.filePath(QStringLiteral("full.cab"));
        QVERIFY(freshgate::test::writeCabinet(
            cabinet, {{"setup.exe", app.read(setup), freshgate::test::kCabAttribExec}}));
        ScriptedServer server;
        server.expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok("1*1*1* 415 *410"));
        server.expect("GET", "/freshgate/ov4fexe.cab",
                      ScriptedResponse::ok(freshgate::test::readFile(cabinet)));
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), server.url(QString()));
        form.show();
        QTRY_VERIFY_WITH_TIMEOUT(form.Command1()->isEnabled(), 10000);
        QCOMPARE(form.finishTag(), QStringLiteral("1"));
        QCOMPARE(settings.read(SettingKey::ExeVersion), QString());

        if (end == QLatin1String("close")) {
            form.close();
        } else {
            if (end == QLatin1String("setup gone")) {
                QVERIFY(QFile::remove(app.filePath(setup)));
            }
            QTest::mouseClick(form.Command1(), Qt::LeftButton);
        }
        QVERIFY(!form.isVisible());
        QCOMPARE(settings.read(SettingKey::ExeVersion),
                 recorded ? QStringLiteral("415") : QString());
        if (recorded) {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(app.markerFor(setup)), 5000);
        }
    }

    // Closing the window while an archive downloads stops the run without a
    // message; the component is left untouched and no version is recorded.
    void closingDuringADownloadStopsTheRun()
    {
        ScriptedServer server;
        server.expect("GET", "/freshgate/ov4arv.dat", ScriptedResponse::ok("2*1*1*400*0"));
        server.expect("GET", "/freshgate/ov4res.cab", ScriptedResponse::trickle(1 << 20));
        AppFolder app;
        QVERIFY(app.write(QStringLiteral("Orvane4.res"), "old resources"));
        const auto before = app.snapshot();
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), server.url(QString()));
        form.show();
        // The download waits inside the run, so the window is closed from a
        // timer while the transfer's own event loop spins, as a user's click would.
        QElapsedTimer sinceClose;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (server.wasRequested("/freshgate/ov4res.cab")) {
                poll.stop();
                sinceClose.start();
                form.close();
            }
        });
        poll.start(50);
        QTRY_VERIFY_WITH_TIMEOUT(sinceClose.isValid(), 8000);
        QTRY_VERIFY_WITH_TIMEOUT(!form.Inet1().isBusy(), 3000);
        QVERIFY(sinceClose.elapsed() < 3000);
        QVERIFY(visibleMessageBox() == nullptr);
        QCOMPARE(form.rowIconKey(1), QStringLiteral("downloading"));
        QVERIFY(!QFile::exists(m_home.iniPath()));
        auto after = app.snapshot();
        after.remove(QStringLiteral("Freshgate.lock"));
        QCOMPARE(after, before);
    }

    // F1 opens the updater's page of the product's help file, wherever the
    // focus is; other keys open nothing.
    void f1ShowsTheProductsHelpPage()
    {
        AppFolder app;
        const QString chm = freshgate::test::buildChm(
            app.path(), QStringLiteral("Orvane4.chm"),
            {{QStringLiteral("freshgate.htm"),
              freshgate::test::chmPage("Freshgate", "<p>How Freshgate updates Orvane4.</p>")},
             {QStringLiteral("other.htm"), freshgate::test::chmPage("Other", "<p>Other.</p>")}});
        QVERIFY(!chm.isEmpty());
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QString());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.hHelp()->helpFilePath(), app.filePath(QStringLiteral("Orvane4.chm")));

        for (Qt::Key key : {Qt::Key_F2, Qt::Key_Escape, Qt::Key_A, Qt::Key_Return}) {
            QTest::keyClick(form.lstProgress(), key);
        }
        QVERIFY(form.hHelp()->window() == nullptr);

        QTest::keyClick(form.lstProgress(), Qt::Key_F1);
        QWidget *help = form.hHelp()->window();
        QVERIFY(help != nullptr);
        QTRY_VERIFY(help->isVisible());
        auto *browser = help->findChild<QTextBrowser *>();
        QVERIFY(browser);
        QVERIFY(browser->toPlainText().contains(QLatin1String("How Freshgate updates Orvane4.")));

        // Again, after the user closed it, with or without Shift, Ctrl or Alt held.
        for (const Qt::KeyboardModifiers held :
             {Qt::KeyboardModifiers(Qt::NoModifier), Qt::KeyboardModifiers(Qt::ShiftModifier),
              Qt::KeyboardModifiers(Qt::ControlModifier), Qt::KeyboardModifiers(Qt::AltModifier),
              Qt::ShiftModifier | Qt::ControlModifier}) {
            form.hHelp()->window()->close();
            QTRY_VERIFY(!form.hHelp()->window()->isVisible());
            QTest::keyClick(&form, Qt::Key_F1, held);
            QTRY_VERIFY2(form.hHelp()->window()->isVisible(),
                         qPrintable(QString::number(held.toInt())));
        }
    }

    void f1OpensNothingWithoutAHelpFile()
    {
        AppFolder app;
        SettingsStore settings(m_home.iniPath());
        Form1 form(settings, app.path(), QString());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        for (Qt::Key key : {Qt::Key_F2, Qt::Key_Escape, Qt::Key_A, Qt::Key_F1, Qt::Key_F1}) {
            QTest::keyClick(form.lstProgress(), key);
        }
        QVERIFY(form.hHelp() != nullptr);
        QCOMPARE(form.hHelp()->helpTopic(), QStringLiteral("freshgate.htm"));
        QVERIFY(form.hHelp()->window() == nullptr || !form.hHelp()->window()->isVisible());
    }

private:
    SettingsFile m_home;
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
