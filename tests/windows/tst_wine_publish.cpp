// The maker's side and https on Windows, under Wine: freshgate-publish.exe publishes from Windows
// paths (a drive letter, backslashes, a folder the ANSI code page cannot spell) and signs with a
// key file; freshgate.exe then updates from that folder over https, which Schannel accepts only
// from a server whose authority the machine trusts. A user kept out of the product's folder hands
// the install to the elevated step.
#include "UpdateOffer.h"
#include "WineProduct.h"
#include "install/ProductRecord.h"
#include "support/Files.h"
#include "support/NginxServer.h"
#include "support/Process.h"
#include "support/TestAuthority.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

using namespace freshgate;
using namespace freshgate::test;

namespace {

const QString kSources = QStringLiteral("Quellen Ünïcode 更新");
// A member whose name is not ASCII, so the cabinet flags it UTF-8 and the extractor must read it
// so.
const QString kNonAsciiMember = QStringLiteral("Prüfliste ä.txt");
const QByteArray kNonAsciiContent = "checked, version 2\r\n";
const QStringList kPublished{QStringLiteral("ov4arv.dat"), QStringLiteral("ov4res.cab"),
                             QStringLiteral("ov4data.cab"), QStringLiteral("ov4help.cab"),
                             QStringLiteral("ov4exe.cab")};

QString httpsServer(quint16 port)
{
    return QStringLiteral("https://127.0.0.1:%1").arg(port);
}

// A key pair made with minisign as the maker makes one (without a password); what went wrong, or
// nothing.
QString makeKey(const QString &folder)
{
    const ProcessRun minisign =
        runProcess(QStringLiteral("minisign"),
                   {QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"),
                    folder + QStringLiteral("/maker.pub"), QStringLiteral("-s"),
                    folder + QStringLiteral("/maker.key")},
                   ProcessOptions().merged());
    return minisign.succeeded() ? QString() : minisign.failure();
}

// freshgate-publish.exe run as a Windows maker runs it: every path in Windows form, the output
// folder with a trailing backslash, and the key file's path to sign with.
PublishTool windowsPublisher(const WineProduct &product, const QString &sources, const QString &key)
{
    return {[&product, key](const QStringList &arguments) {
                QStringList windows{qEnvironmentVariable("FRESHGATE_WINDOWS_PUBLISH_EXE")};
                for (const QString &argument : arguments) {
                    windows << (argument.startsWith(u'/') ? windowsPath(argument) : argument);
                }
                windows[windows.indexOf(QStringLiteral("--out")) + 1] += u'\\';
                windows << QStringLiteral("--sign") << windowsPath(key);
                QString why;
                product.wine(windows, &why);
                return why;
            },
            sources};
}

// Lays out the newest offer, with a member whose name is not ASCII among the data files, and
// publishes it into serverRoot with freshgate-publish.exe, signed with key; what went wrong, or
// nothing.
QString publishNewest(const WineProduct &product, const QString &serverRoot, const QString &key)
{
    const QString sources = QDir(product.scratch()).filePath(kSources);
    if (!writeFile(sources + QStringLiteral("/data/") + kNonAsciiMember, kNonAsciiContent)) {
        return QStringLiteral("cannot lay out ") + sources;
    }
    const ProgramMaker maker = [&product](const QString &, const QString &version) {
        return product.program(version);
    };
    return publishOffer(maker, UpdateOffer{kNewest, {}, {}, 0}, serverRoot,
                        windowsPublisher(product, sources, key));
}

// The product's files and its registry branch hold the newest offer.
void verifyNewestInstalled(const WineProduct &product)
{
    QCOMPARE(readFile(product.file(QStringLiteral("Orvane4.res"))),
             resourceFileAt(kNewest.resource));
    QCOMPARE(readFile(product.file(QStringLiteral("Orvane4.chm"))), helpFileAt(kNewest.help));
    QMap<QString, QByteArray> data = dataFilesAt(kNewest.data);
    data.insert(kNonAsciiMember, kNonAsciiContent);
    for (auto it = data.cbegin(); it != data.cend(); ++it) {
        QCOMPARE(readFile(product.file(QStringLiteral("Data/") + it.key())), it.value());
    }
    QCOMPARE(readFile(product.file(QStringLiteral("Orvane4.exe"))), product.program(kNewest.exe));
    const QMap<QString, QString> registry = product.registry();
    QCOMPARE(registry.value(QStringLiteral("Resource file version")), kNewest.resource);
    QCOMPARE(registry.value(QStringLiteral("Data files version")), kNewest.data);
    QCOMPARE(registry.value(QStringLiteral("Help file version")), kNewest.help);
    QCOMPARE(registry.value(QStringLiteral("EXE file version")), kNewest.exe);
}

} // namespace

class WinePublish : public QObject {
    Q_OBJECT

private slots:
    void publishesAndUpdatesOverHttps_data();
    void publishesAndUpdatesOverHttps();
    void installsThroughTheElevatedStep();
};

void WinePublish::publishesAndUpdatesOverHttps_data()
{
    QTest::addColumn<bool>("trusted");

    QTest::newRow("authority trusted") << true;
    // Trusting one authority must not trust another's certificates.
    QTest::newRow("authority unknown") << false;
}

void WinePublish::publishesAndUpdatesOverHttps()
{
    QFETCH(bool, trusted);

    WineProduct product;
    QVERIFY2(product.setupError().isEmpty(), qPrintable(product.setupError()));
    const TestAuthority authority(QStringLiteral("Freshgate Test Authority"));
    const TestAuthority stranger(QStringLiteral("Unknown Authority"));
    QVERIFY2(authority.isValid() && stranger.isValid(),
             qPrintable(authority.errorString() + stranger.errorString()));
    EXPECT_OK(product.trustAuthority(authority.certificateDer()));
    const TestAuthority &issuer = trusted ? authority : stranger;
    NginxServer server(
        NginxServer::Options().withTls().withIssuer(issuer.certificatePath(), issuer.keyPath()));
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));

    EXPECT_OK(makeKey(product.scratch()));
    EXPECT_OK(
        publishNewest(product, server.root(), product.scratch() + QStringLiteral("/maker.key")));
    // Signed from Windows as from Linux: each file by the maker's key, under its own name.
    for (const QString &name : kPublished) {
        const ProcessRun check =
            runProcess(QStringLiteral("minisign"),
                       {QStringLiteral("-V"), QStringLiteral("-p"),
                        product.scratch() + QStringLiteral("/maker.pub"), QStringLiteral("-m"),
                        server.root() + QStringLiteral("/freshgate/") + name},
                       ProcessOptions().merged());
        QVERIFY2(check.succeeded(), qPrintable(check.failure()));
        QVERIFY2(check.out.contains("file:" + name.toUtf8()), check.out.constData());
    }

    XvfbDisplay::WindowId window = 0;
    if (!trusted) {
        EXPECT_OK(product.runAgainst(httpsServer(server.port()), &window, {}));
        QString box;
        EXPECT_OK(
            product.copyMessageBox(&box, qEnvironmentVariable("FRESHGATE_WINE_TLS_SCREENSHOT")));
        QVERIFY2(box.contains(QStringLiteral("could not prove who it is: its certificate is not "
                                             "trusted")),
                 qPrintable(box));
        // The handshake failed, so not even the update list was asked for, and nothing changed.
        QCOMPARE(requestedPaths(server), QStringList());
        QCOMPARE(readFile(product.file(QStringLiteral("Orvane4.res"))),
                 resourceFileAt(QStringLiteral("1")));
        QCOMPARE(product.registry(), (QMap<QString, QString>{{QStringLiteral("Update server"),
                                                              httpsServer(server.port())}}));
        return;
    }
    EXPECT_OK(product.runAgainst(httpsServer(server.port()), &window));
    verifyNewestInstalled(product);
    if (QTest::currentTestFailed()) {
        return;
    }
    EXPECT_OK(product.pressFinish(window, QStringLiteral("Orvane4.exe")));
}

// A user who may not change the product's folder, with a build that trusts a key: downloads and
// checks run in the user's own folder, the install in the elevated step that Windows' "runas"
// starts (Wine grants it without a prompt), and the versions land in this user's branch.
void WinePublish::installsThroughTheElevatedStep()
{
    const QString keyed = qEnvironmentVariable("FRESHGATE_WINDOWS_KEYED_EXE");
    if (keyed.isEmpty()) {
        QSKIP("no freshgate-keyed.exe named (FRESHGATE_WINDOWS_KEYED_EXE)");
    }
    WineProduct product(keyed);
    QVERIFY2(product.setupError().isEmpty(), qPrintable(product.setupError()));
    NginxServer server;
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    EXPECT_OK(
        publishNewest(product, server.root(), qEnvironmentVariable("FRESHGATE_WINDOWS_KEYED_KEY")));

    product.setLaunchVariable(QStringLiteral("FRESHGATE_TEST_DENIED_FOLDER"),
                              windowsPath(product.product()));
    XvfbDisplay::WindowId window = 0;
    EXPECT_OK(
        product.runAgainst(QStringLiteral("http://127.0.0.1:%1").arg(server.port()), &window));
    const QString log = product.log();
    // The step's own lines come back into this user's log.
    for (const QString &line :
         {QStringLiteral("this user may not change the product's folder"),
          QStringLiteral("handing 4 component\\(s\\) to an elevated Freshgate"),
          QStringLiteral("elevated: .*signature of ov4data.cab is good here too"),
          QStringLiteral("elevated: .*installed 5 members of .*datafile.cab"),
          QStringLiteral("the elevated install step ended with exit status 0")}) {
        QVERIFY2(QRegularExpression(line).match(log).hasMatch(), qPrintable(line));
    }
    verifyNewestInstalled(product);
    if (QTest::currentTestFailed()) {
        return;
    }
    // What the step installed, for another user of this computer to catch up from.
    const ProductRecord record = ProductRecord::read(product.product());
    QCOMPARE(record.version(SettingKey::ResourceVersion), kNewest.resource.toShort());
    QCOMPARE(record.version(SettingKey::DataVersion), kNewest.data.toShort());
    QCOMPARE(record.version(SettingKey::HelpVersion), kNewest.help.toShort());
    QCOMPARE(record.version(SettingKey::ExeVersion), kNewest.exe.toShort());
    EXPECT_OK(product.pressFinish(window, QStringLiteral("Orvane4.exe")));
}

QTEST_GUILESS_MAIN(WinePublish)
#include "tst_wine_publish.moc"
