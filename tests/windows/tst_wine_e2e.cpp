// The Windows freshgate.exe, run under Wine on a private X display in a product folder whose
// name the ANSI code page cannot spell, against nginx on 127.0.0.1: the files land, the versions
// reach the product's registry branch, and Finish starts the right program.
#include "UpdateOffer.h"
#include "WineProduct.h"
#include "support/ChmBuilder.h"
#include "support/Files.h"
#include "support/NginxServer.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace freshgate::test;

namespace {

constexpr int kFinishTimeoutMs = 30000;

QString plainServer(quint16 port)
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

} // namespace

class WineE2e : public QObject {
    Q_OBJECT

private slots:
    void updatesUnderWine_data();
    void updatesUnderWine();
    void f1OpensTheHelpFileInTheProductFolder();
};

void WineE2e::updatesUnderWine_data()
{
    QTest::addColumn<QString>("fullThreshold");
    QTest::addColumn<QString>("startedProgram");
    QTest::addColumn<QString>("screenshot");

    // The patch replaces Orvane4.exe, which Finish starts.
    QTest::newRow("patch") << QString() << QStringLiteral("Orvane4.exe")
                           << qEnvironmentVariable("FRESHGATE_WINE_SCREENSHOT");
    // 400 is at or below the threshold: the full package, whose set-up Finish starts.
    QTest::newRow("full package") << QStringLiteral("410") << QStringLiteral("Freshgate/setup.exe")
                                  << QString();
}

void WineE2e::updatesUnderWine()
{
    QFETCH(QString, fullThreshold);
    QFETCH(QString, startedProgram);
    QFETCH(QString, screenshot);

    WineProduct product;
    QVERIFY2(product.setupError().isEmpty(), qPrintable(product.setupError()));
    NginxServer server;
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    const ProgramMaker maker = [&product](const QString &, const QString &version) {
        return product.program(version);
    };
    UpdateOffer offer{kNewest, fullThreshold, {}, 0};
    EXPECT_OK(publishOffer(maker, offer, server.root()));
    XvfbDisplay::WindowId window = 0;
    EXPECT_OK(product.runAgainst(plainServer(server.port()), &window));
    if (!screenshot.isEmpty()) {
        QString why;
        QVERIFY2(product.display().screenshot(screenshot, window, &why), qPrintable(why));
    }

    QCOMPARE(readFile(product.file(QStringLiteral("Orvane4.res"))),
             resourceFileAt(kNewest.resource));
    QCOMPARE(readFile(product.file(QStringLiteral("Orvane4.chm"))), helpFileAt(kNewest.help));
    const QMap<QString, QByteArray> data = dataFilesAt(kNewest.data);
    for (auto it = data.cbegin(); it != data.cend(); ++it) {
        QCOMPARE(readFile(product.file(QStringLiteral("Data/") + it.key())), it.value());
    }
    const bool fullPackage = !fullThreshold.isEmpty();
    QCOMPARE(readFile(product.file(QStringLiteral("Orvane4.exe"))),
             product.program(fullPackage ? QStringLiteral("400") : kNewest.exe));
    QCOMPARE(readFile(product.file(QStringLiteral("Freshgate/setup.exe"))),
             fullPackage ? product.program(kNewest.exe) : QByteArray());

    const QMap<QString, QString> registry = product.registry();
    QCOMPARE(registry.value(QStringLiteral("Resource file version")), kNewest.resource);
    QCOMPARE(registry.value(QStringLiteral("Data files version")), kNewest.data);
    QCOMPARE(registry.value(QStringLiteral("Help file version")), kNewest.help);
    // A full package's version is recorded once its set-up has started.
    QCOMPARE(registry.value(QStringLiteral("EXE file version")),
             fullPackage ? QString() : kNewest.exe);

    EXPECT_OK(product.pressFinish(window, startedProgram));
    QCOMPARE(product.registry().value(QStringLiteral("EXE file version")), kNewest.exe);
    // The program started in the product's folder, which Wine names on drive Z:.
    const QStringList started = product.startedProgram().split(QLatin1Char('\n'));
    QVERIFY2(started.value(0).endsWith(QStringLiteral("\\Prodüct Ørvane")),
             qPrintable(product.startedProgram()));
    QVERIFY2(started.value(1).contains(QString(startedProgram).replace(u'/', u'\\')),
             qPrintable(product.startedProgram()));
}

// chmlib opens the help file by its wide name: a narrow one could not spell the folder.
void WineE2e::f1OpensTheHelpFileInTheProductFolder()
{
    WineProduct product;
    QVERIFY2(product.setupError().isEmpty(), qPrintable(product.setupError()));
    QVERIFY(QFile::remove(product.file(QStringLiteral("Orvane4.chm"))));
    const QString helpTitle = QStringLiteral("How Freshgate keeps Orvane4 fresh");
    QVERIFY(!buildChm(product.product(), QStringLiteral("Orvane4.chm"),
                      {{QStringLiteral("freshgate.htm"),
                        chmPage(helpTitle.toUtf8(), "<p>Freshgate fetches what is new.</p>")}})
                 .isEmpty());
    // Nothing newer than what is installed: the run ends at once, without a message box.
    NginxServer server;
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("freshgate")));
    QFile manifest(server.root() + QStringLiteral("/freshgate/ov4arv.dat"));
    QVERIFY(manifest.open(QIODevice::WriteOnly));
    QVERIFY(manifest.write("1*1*1*400*0") == 11);
    manifest.close();
    XvfbDisplay::WindowId window = 0;
    EXPECT_OK(product.runAgainst(plainServer(server.port()), &window,
                                 QStringLiteral("nothing newer on the server")));
    QString why;
    QVERIFY2(product.display().pressKeys(window, QStringLiteral("F1"), &why), qPrintable(why));
    QVERIFY2(product.display().waitForWindow(helpTitle, kFinishTimeoutMs) != 0,
             qPrintable(QStringLiteral("no help window; log:\n") + product.log()));
}

QTEST_GUILESS_MAIN(WineE2e)
#include "tst_wine_e2e.moc"
