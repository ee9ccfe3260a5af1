// The real freshgate stopped dead after its 1st, 2nd, 3rd... file-system step of a data install
// and a program patch (FRESHGATE_CRASH_AFTER_STEPS in a FRESHGATE_FAULT_INJECTION build), then
// started again as a user would, against a server that offers nothing newer. After every crash
// point each component's folder must hold exactly its old files or exactly its new ones, its
// recorded version must say which, and the product's program must be there.
#include "InstalledProduct.h"
#include "support/Files.h"
#include "support/NginxServer.h"
#include "support/ProcessStop.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <memory>
#include <vector>

using namespace freshgate::test;

namespace {

constexpr int kRunTimeoutMs = 60000;
// Products crashed side by side: each start waits out the window's two-second timer.
constexpr int kParallel = 6;

const Versions kOld{QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("1"),
                    QStringLiteral("400")};
const Versions kNew{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("1"),
                    QStringLiteral("415")};

QString serverBase(const NginxServer &server, const char *folder)
{
    return QStringLiteral("http://127.0.0.1:%1/%2").arg(server.port()).arg(QLatin1String(folder));
}

void replaceTree(const AppFolder &app, const QMap<QString, QByteArray> &files)
{
    QDir dir(app.path());
    for (const QString &name : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        if (name == QLatin1String("freshgate")) {
            continue;
        }
        if (!QDir(dir.filePath(name)).removeRecursively()) {
            QFile::remove(dir.filePath(name));
        }
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        app.write(it.key(), it.value());
    }
}

// Empty when files and recorded versions agree on old or new for every component.
QString judge(InstalledProduct &product, const QByteArray &newProgram)
{
    QMap<QString, QByteArray> files = product.productFiles();
    const QMap<QString, QString> keys = product.freshgateSettings();
    QStringList problems;
    const auto data = [&files](const QString &version) {
        QMap<QString, QByteArray> expected;
        const QMap<QString, QByteArray> set = dataFilesAt(version);
        for (auto it = set.cbegin(); it != set.cend(); ++it) {
            expected.insert(QStringLiteral("Data/") + it.key(), it.value());
        }
        QMap<QString, QByteArray> actual = files;
        actual.removeIf([](const auto &e) { return !e.key().startsWith(QLatin1String("Data/")); });
        return actual == expected;
    };
    const QString dataKey = keys.value(QStringLiteral("Data files version"));
    if (!data(dataKey)) {
        problems << QStringLiteral("Data/ does not hold version %1").arg(dataKey);
    }
    const QString exeKey = keys.value(QStringLiteral("EXE file version"));
    const QByteArray program = files.value(QStringLiteral("Orvane4.exe"), "<missing>");
    const QByteArray expected = exeKey == kOld.exe
                                    ? product.programScript(QStringLiteral("Orvane4.exe"), kOld.exe)
                                : exeKey == kNew.exe ? newProgram
                                                     : QByteArray("<a version never offered>");
    if (program != expected) {
        problems << QStringLiteral("Orvane4.exe is not version %1: %2")
                        .arg(exeKey, QString::fromUtf8(program.left(80)));
    }
    files.removeIf([](const auto &e) {
        return e.key().startsWith(QLatin1String("Data/")) ||
               e.key() == QLatin1String("Orvane4.exe") || e.key() == QLatin1String("freshgate");
    });
    const QMap<QString, QByteArray> untouched{
        {QStringLiteral("Orvane4.res"), resourceFileAt(kOld.resource)},
        {QStringLiteral("Orvane4.chm"), helpFileAt(kOld.help)}};
    if (files != untouched) {
        problems << QStringLiteral("other files changed: %1").arg(files.keys().join(u' '));
    }
    const QStringList work = QDir(product.app().workFolder())
                                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    if (!work.isEmpty()) {
        problems << QStringLiteral("the work folder still holds %1").arg(work.join(u' '));
    }
    return problems.join(QStringLiteral("; "));
}

} // namespace

class TestEndToEndCrash : public QObject {
    Q_OBJECT

private slots:
    void everyCrashPointLeavesOldOrNew();
};

void TestEndToEndCrash::everyCrashPointLeavesOldOrNew()
{
#ifndef FRESHGATE_FAULT_INJECTION
    QSKIP("freshgate is built without FRESHGATE_FAULT_INJECTION");
#endif
    std::vector<std::unique_ptr<InstalledProduct>> products;
    for (int i = 0; i < kParallel; ++i) {
        products.push_back(std::make_unique<InstalledProduct>());
        QVERIFY2(products.back()->setupError().isEmpty(),
                 qPrintable(products.back()->setupError()));
    }
    NginxServer server;
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    QVERIFY(QDir().mkpath(server.root() + QStringLiteral("/new")) &&
            QDir().mkpath(server.root() + QStringLiteral("/old")));
    EXPECT_OK(publishOffer(*products[0], UpdateOffer{kNew, {}, {}, 0},
                           server.root() + QStringLiteral("/new")));
    EXPECT_OK(publishOffer(*products[0], UpdateOffer{kOld, {}, {}, 0},
                           server.root() + QStringLiteral("/old")));
    const QByteArray newProgram =
        products[0]->programScript(QStringLiteral("Orvane4.exe"), kNew.exe);
    std::vector<QMap<QString, QByteArray>> installed;
    installed.reserve(products.size());
    for (const auto &product : products) {
        installed.push_back(product->app().snapshot());
    }

    int tried = 0;
    QStringList survived;
    int completedBy = -1;
    static const QRegularExpression crashLine(
        QStringLiteral("crash point (\\d+): after ([^\\n]+)"));
    for (int first = 1; completedBy < 0; first += kParallel) {
        QVERIFY2(first < 500, "the install never completed");
        std::vector<FreshgateProcess *> runs;
        for (int i = 0; i < kParallel; ++i) {
            InstalledProduct &product = *products[i];
            replaceTree(product.app(), installed[i]);
            QVERIFY(product.writeSettings(serverBase(server, "new"), kOld));
            runs.push_back(&product.launch(
                {{QStringLiteral("FRESHGATE_CRASH_AFTER_STEPS"), QString::number(first + i)}}));
        }
        QStringList steps(kParallel);
        for (int i = 0; i < kParallel; ++i) {
            FreshgateProcess &run = *runs[i];
            const QDeadlineTimer deadline(kRunTimeoutMs);
            while (!run.log().contains(QLatin1String("run complete")) && !deadline.hasExpired()) {
                if (run.waitForExit(100)) {
                    break;
                }
            }
            const QRegularExpressionMatch crash = crashLine.match(run.log());
            if (crash.hasMatch()) {
                QCOMPARE(crash.captured(1).toInt(), first + i);
                steps[i] = crash.captured(2);
                ++tried;
            } else {
                QVERIFY2(run.log().contains(QLatin1String("run complete")), qPrintable(run.log()));
                completedBy = completedBy < 0 ? i : completedBy;
            }
            stopProcess(run.process(), 10000);
            // Whatever the moment, the user's shortcut still finds the program.
            QVERIFY2(products[i]->app().exists(QStringLiteral("Orvane4.exe")),
                     qPrintable(QStringLiteral("after crash point %1 (%2): no Orvane4.exe")
                                    .arg(first + i)
                                    .arg(steps[i])));
            // Started again, against a server with nothing newer: only recovery can act.
            QByteArray ini = products[i]->settingsBytes();
            ini.replace(serverBase(server, "new").toUtf8(), serverBase(server, "old").toUtf8());
            QVERIFY(writeFile(products[i]->settingsPath(), ini));
        }
        for (int i = 0; i < kParallel; ++i) {
            runs[i] = &products[i]->launch();
        }
        for (int i = 0; i < kParallel; ++i) {
            FreshgateProcess &again = *runs[i];
            QVERIFY2(again.waitForLog(QStringLiteral("nothing newer on the server"), kRunTimeoutMs),
                     qPrintable(again.log()));
            stopProcess(again.process(), 10000);
            const QString why = judge(*products[i], newProgram);
            QVERIFY2(why.isEmpty(), qPrintable(QStringLiteral("after crash point %1 (%2): %3\n%4")
                                                   .arg(first + i)
                                                   .arg(steps[i], why, again.log())));
            if (!steps[i].isEmpty()) {
                survived << QStringLiteral("%1 %2").arg(first + i).arg(steps[i]);
            }
        }
    }
    // Both components went through, so the sweep crossed both installations.
    const QMap<QString, QString> keys = products[completedBy]->freshgateSettings();
    QCOMPARE(keys.value(QStringLiteral("Data files version")), kNew.data);
    QCOMPARE(keys.value(QStringLiteral("EXE file version")), kNew.exe);
    qInfo("crash points tried: %d, survived: %lld", tried, static_cast<qlonglong>(survived.size()));
    qInfo("%s", qPrintable(survived.join(QStringLiteral(", "))));
    QCOMPARE(survived.size(), tried);
    QVERIFY(tried > 20);
}

QTEST_GUILESS_MAIN(TestEndToEndCrash)
#include "tst_e2e_crash.moc"
