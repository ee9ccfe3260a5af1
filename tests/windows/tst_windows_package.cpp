// What a maker hands out for Windows, made by the real scripts/windows: the zip holds both
// programs, signed when a certificate is given and never otherwise, with the licence texts, a
// README and the written source offer in Windows line endings; and the source archive holds
// every source package the offer names, and this tree.
#include "support/Process.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace freshgate::test;

namespace {

constexpr int kScriptTimeoutMs = 900000;
const QString kVersion = QStringLiteral(FRESHGATE_VERSION);
const QString kTop = QStringLiteral("freshgate-%1-windows-x64/").arg(kVersion);
const QStringList kPrograms{QStringLiteral("freshgate.exe"),
                            QStringLiteral("freshgate-publish.exe")};
// Every library linked in has its licence text in the zip.
const QStringList kLicences{
    QStringLiteral("licenses/qt6-base/LGPL-3.0-only.txt"),
    QStringLiteral("licenses/qt6-base/GPL-3.0-only.txt"),
    QStringLiteral("licenses/qt6-base/copyright.txt"),
    QStringLiteral("licenses/qt6-base/zlib-LICENSE.txt"),
    QStringLiteral("licenses/qt6-base/libpng-LICENSE.txt"),
    QStringLiteral("licenses/qt6-base/pcre2-LICENCE.txt"),
    QStringLiteral("licenses/qt6-base/pcre2-LICENCE-SLJIT.txt"),
    QStringLiteral("licenses/qt6-base/freetype-FTL.txt"),
    QStringLiteral("licenses/qt6-base/harfbuzz-COPYING.txt"),
    QStringLiteral("licenses/libmspack/COPYING.LIB.txt"),
    QStringLiteral("licenses/libmspack/copyright.txt"),
    QStringLiteral("licenses/chmlib/COPYING.txt"),
    QStringLiteral("licenses/chmlib/copyright.txt"),
    QStringLiteral("licenses/libsodium/LICENSE.txt"),
    QStringLiteral("licenses/libsodium/copyright.txt"),
    QStringLiteral("licenses/mingw-w64/copyright.txt"),
    QStringLiteral("licenses/gcc-mingw-w64/copyright.txt"),
};

// Runs scripts/windows with a command, its output going to dist; what went wrong, or nothing.
QString runScript(const QString &command, const QString &dist,
                  const QProcessEnvironment &extra = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("FRESHGATE_WINDOWS_DIST"), dist);
    env.insert(extra);
    const ProcessRun run = runProcess(
        qEnvironmentVariable("FRESHGATE_SOURCE_DIR") + QStringLiteral("/scripts/windows"),
        {command}, ProcessOptions().withEnvironment(env).withTimeout(kScriptTimeoutMs).merged());
    return run.succeeded() ? QString() : run.failure();
}

// A member of the zip, or nothing.
QByteArray unzipped(const QString &zip, const QString &member)
{
    return runProcess(QStringLiteral("unzip"), {QStringLiteral("-p"), zip, member}).out;
}

// A throw-away code-signing certificate with an encrypted key, as a maker's would be.
QString makeCodeSigningCertificate(const QString &folder, const QString &password)
{
    const ProcessRun openssl =
        runProcess(QStringLiteral("openssl"),
                   {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                    QStringLiteral("rsa:2048"), QStringLiteral("-days"), QStringLiteral("2"),
                    QStringLiteral("-subj"), QStringLiteral("/CN=Freshgate Test Signer"),
                    QStringLiteral("-addext"), QStringLiteral("extendedKeyUsage=codeSigning"),
                    QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,digitalSignature"),
                    QStringLiteral("-passout"), QStringLiteral("pass:") + password,
                    QStringLiteral("-keyout"), folder + QStringLiteral("/signer.key"),
                    QStringLiteral("-out"), folder + QStringLiteral("/signer.pem")},
                   ProcessOptions().merged());
    return openssl.succeeded() ? QString() : openssl.failure();
}

} // namespace

class WindowsPackage : public QObject {
    Q_OBJECT

private slots:
    void zipHoldsWhatTheLicencesAsk_data();
    void zipHoldsWhatTheLicencesAsk();
    void sourcesHoldWhatTheOfferNames();
};

void WindowsPackage::zipHoldsWhatTheLicencesAsk_data()
{
    QTest::addColumn<bool>("withCertificate");

    QTest::newRow("with a certificate") << true;
    QTest::newRow("without one") << false;
}

void WindowsPackage::zipHoldsWhatTheLicencesAsk()
{
    QFETCH(bool, withCertificate);

    QTemporaryDir dist;
    QVERIFY(dist.isValid());
    QProcessEnvironment env;
    const QString password = QStringLiteral("not a real secret");
    if (withCertificate) {
        QVERIFY(makeCodeSigningCertificate(dist.path(), password).isEmpty());
        env.insert(QStringLiteral("FRESHGATE_AUTHENTICODE_CERT"), dist.filePath("signer.pem"));
        env.insert(QStringLiteral("FRESHGATE_AUTHENTICODE_KEY"), dist.filePath("signer.key"));
        env.insert(QStringLiteral("FRESHGATE_AUTHENTICODE_PASSWORD"), password);
    } else {
        // A maker's signing variables set for something else must not leak into this run.
        env.insert(QStringLiteral("FRESHGATE_AUTHENTICODE_CERT"), QString());
        env.insert(QStringLiteral("FRESHGATE_AUTHENTICODE_KEY"), QString());
    }
    const QString why = runScript(QStringLiteral("package"), dist.path(), env);
    QVERIFY2(why.isEmpty(), qPrintable(why));

    const QString zip = dist.filePath(QStringLiteral("freshgate-%1-windows-x64.zip").arg(kVersion));
    const ProcessRun list = runProcess(QStringLiteral("unzip"), {QStringLiteral("-Z1"), zip});
    QVERIFY2(list.succeeded(), qPrintable(list.failure()));
    QStringList files;
    for (const QString &entry : QString::fromUtf8(list.out).split(u'\n', Qt::SkipEmptyParts)) {
        if (!entry.endsWith(u'/')) {
            files << entry;
        }
    }
    QStringList expected = kPrograms + kLicences;
    expected << QStringLiteral("LICENSE.txt") << QStringLiteral("THIRD-PARTY.md")
             << QStringLiteral("README.txt") << QStringLiteral("SOURCE-OFFER.txt");
    for (QString &name : expected) {
        name.prepend(kTop);
    }
    expected.sort();
    files.sort();
    QCOMPARE(files, expected);

    for (const QString &file : files) {
        if (file.endsWith(QStringLiteral(".exe"))) {
            continue;
        }
        const QByteArray text = unzipped(zip, file);
        QVERIFY2(!text.isEmpty(), qPrintable(file));
        // Windows line endings: every line feed has its carriage return, and no other.
        QVERIFY2(text.count("\r\n") == text.count('\n') && text.count('\r') == text.count('\n'),
                 qPrintable(file));
    }
    QVERIFY(unzipped(zip, kTop + QStringLiteral("LICENSE.txt")).contains("MIT"));

    for (const QString &program : kPrograms) {
        const QString exe = dist.filePath(program);
        QFile out(exe);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(unzipped(zip, kTop + program));
        out.close();
        const ProcessRun verify =
            runProcess(QStringLiteral("osslsigncode"),
                       {QStringLiteral("verify"), QStringLiteral("-CAfile"),
                        dist.filePath("signer.pem"), QStringLiteral("-in"), exe},
                       ProcessOptions().merged());
        if (withCertificate) {
            QVERIFY2(verify.succeeded(), qPrintable(verify.failure()));
            QVERIFY2(verify.out.contains("Signature verification: ok"), verify.out.constData());
            QVERIFY2(verify.out.contains("Freshgate Test Signer"), verify.out.constData());
        } else {
            QVERIFY2(!verify.succeeded(), verify.out.constData());
        }
    }
}

void WindowsPackage::sourcesHoldWhatTheOfferNames()
{
    QTemporaryDir dist;
    QVERIFY(dist.isValid());
    QString why = runScript(QStringLiteral("package"), dist.path());
    QVERIFY2(why.isEmpty(), qPrintable(why));
    why = runScript(QStringLiteral("sources"), dist.path());
    QVERIFY2(why.isEmpty(), qPrintable(why));

    const QByteArray offer =
        runProcess(QStringLiteral("unzip"),
                   {QStringLiteral("-p"),
                    dist.filePath(QStringLiteral("freshgate-%1-windows-x64.zip").arg(kVersion)),
                    kTop + QStringLiteral("SOURCE-OFFER.txt")})
            .out;
    QVERIFY(offer.contains("For three years from"));
    // THIRD-PARTY.md is written by hand: it must name the versions the build really used.
    const QByteArray thirdParty =
        runProcess(QStringLiteral("unzip"),
                   {QStringLiteral("-p"),
                    dist.filePath(QStringLiteral("freshgate-%1-windows-x64.zip").arg(kVersion)),
                    kTop + QStringLiteral("THIRD-PARTY.md")})
            .out;
    const QString tar =
        dist.filePath(QStringLiteral("freshgate-%1-windows-sources.tar").arg(kVersion));
    const ProcessRun list = runProcess(QStringLiteral("tar"), {QStringLiteral("-tf"), tar});
    QVERIFY2(list.succeeded(), qPrintable(list.failure()));
    const QString entries = QString::fromUtf8(list.out);

    // Each source package line of the offer ("  qt6-base     6.4.2+dfsg-10") has its .dsc, and
    // every file that .dsc names, in the archive.
    static const QRegularExpression line(
        QStringLiteral("^  (qt6-base|libmspack|chmlib|libsodium) +(\\S+)\\r?$"),
        QRegularExpression::MultilineOption);
    QStringList named;
    for (auto it = line.globalMatch(QString::fromUtf8(offer)); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QString version = match.captured(2);
        version.remove(QRegularExpression(QStringLiteral("^\\d+:")));
        QVERIFY2(thirdParty.contains("| " + version.toUtf8() + " |"), qPrintable(version));
        const QString dsc =
            QStringLiteral("debian-sources/%1_%2.dsc").arg(match.captured(1), version);
        QVERIFY2(entries.contains(dsc), qPrintable(dsc));
        const ProcessRun files =
            runProcess(QStringLiteral("tar"),
                       {QStringLiteral("-xOf"), tar,
                        QStringLiteral("freshgate-%1-windows-sources/").arg(kVersion) + dsc});
        static const QRegularExpression file(QStringLiteral("^ [0-9a-f]{32} \\d+ (\\S+)$"),
                                             QRegularExpression::MultilineOption);
        for (auto f = file.globalMatch(QString::fromUtf8(files.out)); f.hasNext();) {
            const QString name = f.next().captured(1);
            QVERIFY2(entries.contains(QStringLiteral("debian-sources/") + name), qPrintable(name));
        }
        named << match.captured(1);
    }
    QCOMPARE(named, (QStringList{QStringLiteral("qt6-base"), QStringLiteral("libmspack"),
                                 QStringLiteral("chmlib"), QStringLiteral("libsodium")}));
    // And the tree that builds the programs from them.
    for (const QString &path : {QStringLiteral("CMakeLists.txt"), QStringLiteral("scripts/windows"),
                                QStringLiteral("src/app/main.cpp")}) {
        const QString entry = QStringLiteral("freshgate-%1/").arg(kVersion) + path;
        QVERIFY2(entries.contains(entry), qPrintable(entry));
    }
}

QTEST_GUILESS_MAIN(WindowsPackage)
#include "tst_windows_package.moc"
