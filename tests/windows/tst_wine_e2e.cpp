// The Windows freshgate.exe, run under Wine on a private X display in a product folder whose
// name the ANSI code page cannot spell, against nginx on 127.0.0.1: the files land, the versions
// reach the product's registry branch, and Finish starts the right program.
#include "UpdateOffer.h"
#include "support/AppFolder.h"
#include "support/ChmBuilder.h"
#include "support/NginxServer.h"
#include "support/ProcessStop.h"
#include "support/XvfbDisplay.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace freshgate::test;

namespace {

constexpr int kWineTimeoutMs = 180000;
constexpr int kRunTimeoutMs = 180000;
constexpr int kFinishTimeoutMs = 30000;
const QString kWindowTitle = QStringLiteral("Velmora Freshgate");
const QString kMessageBoxTitle = QStringLiteral("Freshgate");
const QString kBranch =
    QStringLiteral("HKCU\\Software\\VB and VBA Program Settings\\Velmora Orvane4\\Freshgate");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The product at 1, 1, 1, 400 in "Prodüct Ørvane", with its own Wine prefix: the registry it
// writes is a private one, never the user's.
class WineProduct {
public:
    WineProduct()
    {
        m_product = QDir(m_root.path()).filePath(QStringLiteral("Prodüct Ørvane"));
        m_prefix = QDir(m_root.path()).filePath(QStringLiteral("wine"));
        if (!m_root.isValid() || !QDir().mkpath(m_product)) {
            m_error = QStringLiteral("cannot create temporary folders");
        } else if (!m_display.isRunning()) {
            m_error = m_display.errorString();
        } else {
            m_error = setUp();
        }
    }
    ~WineProduct()
    {
        if (m_freshgate.state() != QProcess::NotRunning) {
            stopProcess(m_freshgate, 10000);
        }
        // Ends every Windows process of the prefix and its wineserver before the folder goes.
        QProcess kill;
        kill.setProcessEnvironment(environment());
        kill.start(QStringLiteral("wineserver"), {QStringLiteral("-k")});
        kill.waitForFinished(30000);
    }
    WineProduct(const WineProduct &) = delete;
    WineProduct &operator=(const WineProduct &) = delete;

    QString setupError() const { return m_error; }
    XvfbDisplay &display() { return m_display; }
    QString product() const { return m_product; }
    QString file(const QString &relative) const { return QDir(m_product).filePath(relative); }
    QString startedProgram() const { return m_started; }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = m_display.environment(QProcessEnvironment::systemEnvironment());
        // The tests' own platform choice would make the Windows Qt look for a Linux plugin.
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("WINEPREFIX"), m_prefix);
        env.insert(QStringLiteral("WINEARCH"), QStringLiteral("win64"));
        // No Mono or Gecko installer prompts: nothing here needs .NET or a browser.
        env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
        env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
        // Wine keeps the host's QT_ variables from Windows programs; WINEQT_X reaches them as QT_X.
        env.insert(QStringLiteral("WINEQT_LOGGING_RULES"), QStringLiteral("freshgate.*=true"));
        return env;
    }

    // Runs a Windows program (or wine's own, such as reg) to its end; its output, or nothing
    // and why in *error.
    std::optional<QString> wine(const QStringList &arguments, QString *error) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.setWorkingDirectory(m_product);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("wine"), arguments);
        if (!process.waitForFinished(kWineTimeoutMs) ||
            process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            *error = QStringLiteral("wine %1 failed (%2): %3")
                         .arg(arguments.join(QLatin1Char(' ')))
                         .arg(process.exitCode())
                         .arg(QString::fromUtf8(process.readAll()));
            stopProcess(process, 10000);
            return std::nullopt;
        }
        return QString::fromUtf8(process.readAll());
    }

    QString setRegistry(const QString &name, const QString &value) const
    {
        QString why;
        wine({QStringLiteral("reg"), QStringLiteral("add"), kBranch, QStringLiteral("/v"), name,
              QStringLiteral("/d"), value, QStringLiteral("/f")},
             &why);
        return why;
    }

    // Every value of the Freshgate branch, as `reg query` reads it back.
    QMap<QString, QString> registry() const
    {
        QString why;
        const std::optional<QString> out =
            wine({QStringLiteral("reg"), QStringLiteral("query"), kBranch}, &why);
        QMap<QString, QString> values;
        static const QRegularExpression line(
            QStringLiteral("^\\s+(\\S.*?)\\s+REG_SZ\\s+(.*?)\\s*$"),
            QRegularExpression::MultilineOption);
        for (auto it = line.globalMatch(out.value_or(QString())); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            values.insert(match.captured(1), match.captured(2));
        }
        return values;
    }

    QString launch()
    {
        m_freshgate.setProcessEnvironment(environment());
        m_freshgate.setWorkingDirectory(m_product);
        m_freshgate.setProcessChannelMode(QProcess::MergedChannels);
        m_freshgate.start(QStringLiteral("wine"), {file(QStringLiteral("freshgate.exe"))});
        if (!m_freshgate.waitForStarted(kFinishTimeoutMs)) {
            return QStringLiteral("wine does not start: ") + m_freshgate.errorString();
        }
        return {};
    }

    // Points the product at the server on port, starts freshgate.exe and waits for its window
    // (into *window) and for the log line that ends the run; what went wrong, or nothing.
    QString runAgainst(quint16 port, XvfbDisplay::WindowId *window,
                       const QString &end = QStringLiteral("run complete"))
    {
        QString why = setRegistry(QStringLiteral("Update server"),
                                  QStringLiteral("http://127.0.0.1:%1").arg(port));
        if (why.isEmpty()) {
            why = launch();
        }
        if (!why.isEmpty()) {
            return why;
        }
        *window = m_display.waitForWindow(kWindowTitle, kRunTimeoutMs);
        if (*window == 0) {
            return QStringLiteral("no window; log:\n") + log();
        }
        return waitForRunComplete(end);
    }

    QString log()
    {
        m_log += m_freshgate.readAll();
        return QString::fromUtf8(m_log);
    }

    // Waits for the log line that ends the run: "run complete" after updates.
    QString waitForRunComplete(const QString &end = QStringLiteral("run complete"))
    {
        QDeadlineTimer deadline(kRunTimeoutMs);
        while (!log().contains(end)) {
            if (!m_display.windows(kMessageBoxTitle).isEmpty()) {
                return QStringLiteral("a message box came up; log:\n") + log();
            }
            if (deadline.hasExpired() || m_freshgate.state() == QProcess::NotRunning) {
                return QStringLiteral("the run did not complete; log:\n") + log();
            }
            m_freshgate.waitForReadyRead(200);
        }
        return {};
    }

    // Finish with Return, as the keyboard user presses it; then the program it starts notes its
    // start beside itself.
    QString pressFinish(XvfbDisplay::WindowId window, const QString &expected)
    {
        QString why;
        if (!m_display.pressKeys(window, QStringLiteral("Return"), &why)) {
            return why;
        }
        if (!m_freshgate.waitForFinished(kFinishTimeoutMs)) {
            return QStringLiteral("Return did not end freshgate.exe; log:\n") + log();
        }
        if (m_freshgate.exitStatus() != QProcess::NormalExit || m_freshgate.exitCode() != 0) {
            return QStringLiteral("freshgate.exe ended with %1; log:\n%2")
                .arg(m_freshgate.exitCode())
                .arg(log());
        }
        QDeadlineTimer deadline(kFinishTimeoutMs);
        while (!QFile::exists(file(expected + QStringLiteral(".started")))) {
            if (deadline.hasExpired()) {
                return QStringLiteral("Finish did not start %1; log:\n%2").arg(expected, log());
            }
            QThread::msleep(200);
        }
        m_started = QString::fromUtf8(readAll(file(expected + QStringLiteral(".started"))));
        return {};
    }

private:
    QString setUp()
    {
        QString why;
        if (!wine({QStringLiteral("wineboot"), QStringLiteral("-i")}, &why)) {
            return why;
        }
        const QString freshgate = qEnvironmentVariable("FRESHGATE_WINDOWS_EXE");
        if (!QFile::copy(freshgate, file(QStringLiteral("freshgate.exe")))) {
            return QStringLiteral("cannot copy %1 (FRESHGATE_WINDOWS_EXE)").arg(freshgate);
        }
        // A tiny Windows program made here with mingw stands in for Orvane4.exe and setup.exe.
        m_program = QDir(m_root.path()).filePath(QStringLiteral("started.exe"));
        QProcess cc;
        cc.setProcessChannelMode(QProcess::MergedChannels);
        cc.start(QStringLiteral("x86_64-w64-mingw32-gcc-posix"),
                 {QStringLiteral("-municode"), QStringLiteral("-mwindows"), QStringLiteral("-O2"),
                  QStringLiteral("-o"), m_program,
                  qEnvironmentVariable("FRESHGATE_SOURCE_DIR") +
                      QStringLiteral("/tests/windows/started.c")});
        if (!cc.waitForFinished(60000) || cc.exitCode() != 0) {
            return QStringLiteral("cannot build started.exe: ") + QString::fromUtf8(cc.readAll());
        }
        const auto write = [this](const QString &relative, const QByteArray &content) {
            QDir().mkpath(QFileInfo(file(relative)).absolutePath());
            QFile out(file(relative));
            return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
        };
        bool ok = write(QStringLiteral("Orvane4.exe"), program(QStringLiteral("400"))) &&
                  write(QStringLiteral("Orvane4.res"), resourceFileAt(QStringLiteral("1"))) &&
                  write(QStringLiteral("Orvane4.chm"), helpFileAt(QStringLiteral("1")));
        const QMap<QString, QByteArray> data = dataFilesAt(QStringLiteral("1"));
        for (auto it = data.cbegin(); it != data.cend(); ++it) {
            ok = ok && write(QStringLiteral("Data/") + it.key(), it.value());
        }
        return ok ? QString() : QStringLiteral("cannot lay out the product in ") + m_product;
    }

public:
    // The Windows program at a version: the same code, with the version in bytes after its end,
    // where Windows does not look, so each version is a different file that still runs.
    QByteArray program(const QString &version) const
    {
        return readAll(m_program) + "\nversion " + version.toUtf8() + '\n';
    }

private:
    QTemporaryDir m_root;
    XvfbDisplay m_display;
    QString m_product;
    QString m_prefix;
    QString m_program;
    QString m_error;
    QString m_started;
    QProcess m_freshgate;
    QByteArray m_log;
};

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
    EXPECT_OK(product.runAgainst(server.port(), &window));
    if (!screenshot.isEmpty()) {
        QString why;
        QVERIFY2(product.display().screenshot(screenshot, window, &why), qPrintable(why));
    }

    QCOMPARE(readAll(product.file(QStringLiteral("Orvane4.res"))),
             resourceFileAt(kNewest.resource));
    QCOMPARE(readAll(product.file(QStringLiteral("Orvane4.chm"))), helpFileAt(kNewest.help));
    const QMap<QString, QByteArray> data = dataFilesAt(kNewest.data);
    for (auto it = data.cbegin(); it != data.cend(); ++it) {
        QCOMPARE(readAll(product.file(QStringLiteral("Data/") + it.key())), it.value());
    }
    const bool fullPackage = !fullThreshold.isEmpty();
    QCOMPARE(readAll(product.file(QStringLiteral("Orvane4.exe"))),
             product.program(fullPackage ? QStringLiteral("400") : kNewest.exe));
    QCOMPARE(readAll(product.file(QStringLiteral("Freshgate/setup.exe"))),
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
    EXPECT_OK(
        product.runAgainst(server.port(), &window, QStringLiteral("nothing newer on the server")));
    QString why;
    QVERIFY2(product.display().pressKeys(window, QStringLiteral("F1"), &why), qPrintable(why));
    QVERIFY2(product.display().waitForWindow(helpTitle, kFinishTimeoutMs) != 0,
             qPrintable(QStringLiteral("no help window; log:\n") + product.log()));
}

QTEST_GUILESS_MAIN(WineE2e)
#include "tst_wine_e2e.moc"
