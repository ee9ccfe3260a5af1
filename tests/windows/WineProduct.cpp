#include "WineProduct.h"

#include "UpdateOffer.h"
#include "support/Files.h"
#include "support/Process.h"
#include "support/ProcessStop.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

namespace freshgate::test {

namespace {

constexpr int kWineTimeoutMs = 180000;
constexpr int kRunTimeoutMs = 180000;
constexpr int kFinishTimeoutMs = 30000;
const QString kWindowTitle = QStringLiteral("Velmora Freshgate");
const QString kMessageBoxTitle = QStringLiteral("Freshgate");
const QString kBranch =
    QStringLiteral("HKCU\\Software\\VB and VBA Program Settings\\Velmora Orvane4\\Freshgate");
// The machine's trusted roots as crypt32 keeps them: one key per certificate, named by its SHA-1.
const QString kMachineRoots =
    QStringLiteral("HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\");
// A stored certificate's "Blob" is a list of properties, each {id, 1, length} in little-endian
// 32-bit words and then its bytes; the certificate itself is property 32 (CERT_CERT_PROP_ID),
// from which crypt32 works out the rest.
constexpr quint32 kCertificateProperty = 32;

QByteArray littleEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xffU);
    }
    return bytes;
}

} // namespace

QString windowsPath(const QString &hostPath)
{
    return QStringLiteral("Z:") + QFileInfo(hostPath).absoluteFilePath().replace(u'/', u'\\');
}

WineProduct::WineProduct() : WineProduct(qEnvironmentVariable("FRESHGATE_WINDOWS_EXE")) {}

WineProduct::WineProduct(QString freshgateExe) : m_freshgateExe(std::move(freshgateExe))
{
    m_product = QDir(m_root.path()).filePath(QStringLiteral("Prodüct Ørvane"));
    m_prefix = QDir(m_root.path()).filePath(QStringLiteral("wine"));
    if (!m_root.isValid() || !QDir().mkpath(m_product) || !QDir().mkpath(scratch())) {
        m_error = QStringLiteral("cannot create temporary folders");
    } else if (!m_display.isRunning()) {
        m_error = m_display.errorString();
    } else {
        m_error = setUp();
    }
}

WineProduct::~WineProduct()
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

QString WineProduct::file(const QString &relative) const
{
    return QDir(m_product).filePath(relative);
}

QString WineProduct::scratch() const
{
    return QDir(m_root.path()).filePath(QStringLiteral("scratch"));
}

QProcessEnvironment WineProduct::environment() const
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

std::optional<QString> WineProduct::wine(const QStringList &arguments, QString *error,
                                         const QProcessEnvironment &extra) const
{
    QProcessEnvironment env = environment();
    env.insert(extra);
    const ProcessRun run = runProcess(QStringLiteral("wine"), arguments,
                                      ProcessOptions()
                                          .withFolder(m_product)
                                          .withEnvironment(env)
                                          .withTimeout(kWineTimeoutMs)
                                          .merged());
    if (!run.succeeded()) {
        *error = run.failure();
        return std::nullopt;
    }
    return QString::fromUtf8(run.out);
}

QString WineProduct::setRegistry(const QString &name, const QString &value) const
{
    QString why;
    wine({QStringLiteral("reg"), QStringLiteral("add"), kBranch, QStringLiteral("/v"), name,
          QStringLiteral("/d"), value, QStringLiteral("/f")},
         &why);
    return why;
}

QMap<QString, QString> WineProduct::registry() const
{
    QString why;
    const std::optional<QString> out =
        wine({QStringLiteral("reg"), QStringLiteral("query"), kBranch}, &why);
    QMap<QString, QString> values;
    static const QRegularExpression line(QStringLiteral("^\\s+(\\S.*?)\\s+REG_SZ\\s+(.*?)\\s*$"),
                                         QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(out.value_or(QString())); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        values.insert(match.captured(1), match.captured(2));
    }
    return values;
}

// Wine's certutil is a stub that changes nothing, so the certificate goes where crypt32 reads
// the machine's roots from (and where its own CertAddEncodedCertificateToStore puts them).
QString WineProduct::trustAuthority(const QByteArray &der) const
{
    if (der.isEmpty()) {
        return QStringLiteral("no certificate to trust");
    }
    const QByteArray sha1 = QCryptographicHash::hash(der, QCryptographicHash::Sha1).toHex();
    const QByteArray blob = littleEndian(kCertificateProperty) + littleEndian(1) +
                            littleEndian(static_cast<quint32>(der.size())) + der;
    QString why;
    wine({QStringLiteral("reg"), QStringLiteral("add"),
          kMachineRoots + QString::fromLatin1(sha1.toUpper()), QStringLiteral("/v"),
          QStringLiteral("Blob"), QStringLiteral("/t"), QStringLiteral("REG_BINARY"),
          QStringLiteral("/d"), QString::fromLatin1(blob.toHex().toUpper()), QStringLiteral("/f")},
         &why);
    return why;
}

void WineProduct::setLaunchVariable(const QString &name, const QString &value)
{
    m_launchVariables.insert(name, value);
}

QString WineProduct::launch()
{
    QProcessEnvironment env = environment();
    env.insert(m_launchVariables);
    m_freshgate.setProcessEnvironment(env);
    m_freshgate.setWorkingDirectory(m_product);
    m_freshgate.setProcessChannelMode(QProcess::MergedChannels);
    m_freshgate.start(QStringLiteral("wine"), {file(QStringLiteral("freshgate.exe"))});
    if (!m_freshgate.waitForStarted(kFinishTimeoutMs)) {
        return QStringLiteral("wine does not start: ") + m_freshgate.errorString();
    }
    return {};
}

QString WineProduct::runAgainst(const QString &server, XvfbDisplay::WindowId *window,
                                const QString &end)
{
    QString why = setRegistry(QStringLiteral("Update server"), server);
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
    return end.isEmpty() ? QString() : waitForRunComplete(end);
}

QString WineProduct::log()
{
    m_log += m_freshgate.readAll();
    return QString::fromUtf8(m_log);
}

QString WineProduct::waitForRunComplete(const QString &end)
{
    const QDeadlineTimer deadline(kRunTimeoutMs);
    while (!log().contains(end)) {
        if (!m_display.windows(kMessageBoxTitle).isEmpty()) {
            QString box;
            const QString why = copyMessageBox(&box);
            return QStringLiteral("a message box came up: %1; log:\n%2")
                .arg(why.isEmpty() ? box : why, log());
        }
        if (deadline.hasExpired() || m_freshgate.state() == QProcess::NotRunning) {
            return QStringLiteral("the run did not complete; log:\n") + log();
        }
        m_freshgate.waitForReadyRead(200);
    }
    return {};
}

QString WineProduct::copyMessageBox(QString *text, const QString &screenshot)
{
    const XvfbDisplay::WindowId box = m_display.waitForWindow(kMessageBoxTitle, kRunTimeoutMs);
    if (box == 0) {
        return QStringLiteral("no message box; log:\n") + log();
    }
    QString why;
    if (!screenshot.isEmpty() && !m_display.screenshot(screenshot, box, &why)) {
        return why;
    }
    if (!m_display.pressKeys(box, QStringLiteral("ctrl+c"), &why)) {
        return why;
    }
    // Wine hands the Windows clipboard to X's CLIPBOARD selection when someone asks for it.
    const QDeadlineTimer deadline(kFinishTimeoutMs);
    while (!deadline.hasExpired()) {
        const ProcessRun xclip = runProcess(
            QStringLiteral("xclip"),
            {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-o")},
            ProcessOptions()
                .withEnvironment(m_display.environment(QProcessEnvironment::systemEnvironment()))
                .withTimeout(5000));
        if (xclip.succeeded() && !xclip.out.isEmpty()) {
            *text = QString::fromUtf8(xclip.out);
            return {};
        }
        QThread::msleep(200);
    }
    return QStringLiteral("Ctrl+C put nothing on the clipboard; log:\n") + log();
}

QString WineProduct::pressFinish(XvfbDisplay::WindowId window, const QString &expected)
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
    const QDeadlineTimer deadline(kFinishTimeoutMs);
    while (!QFile::exists(file(expected + QStringLiteral(".started")))) {
        if (deadline.hasExpired()) {
            return QStringLiteral("Finish did not start %1; log:\n%2").arg(expected, log());
        }
        QThread::msleep(200);
    }
    m_started = QString::fromUtf8(readFile(file(expected + QStringLiteral(".started"))));
    return {};
}

QByteArray WineProduct::program(const QString &version) const
{
    return readFile(m_program) + "\nversion " + version.toUtf8() + '\n';
}

QString WineProduct::setUp()
{
    QString why;
    if (!wine({QStringLiteral("wineboot"), QStringLiteral("-i")}, &why)) {
        return why;
    }
    if (!QFile::copy(m_freshgateExe, file(QStringLiteral("freshgate.exe")))) {
        return QStringLiteral("cannot copy \"%1\" as freshgate.exe").arg(m_freshgateExe);
    }
    // A tiny Windows program made here with mingw stands in for Orvane4.exe and setup.exe.
    m_program = QDir(m_root.path()).filePath(QStringLiteral("started.exe"));
    const ProcessRun cc = runProcess(
        QStringLiteral("x86_64-w64-mingw32-gcc-posix"),
        {QStringLiteral("-municode"), QStringLiteral("-mwindows"), QStringLiteral("-O2"),
         QStringLiteral("-o"), m_program,
         qEnvironmentVariable("FRESHGATE_SOURCE_DIR") + QStringLiteral("/tests/windows/started.c")},
        ProcessOptions().merged());
    if (!cc.succeeded()) {
        return QStringLiteral("cannot build started.exe: ") + cc.failure();
    }
    bool ok = writeFile(file(QStringLiteral("Orvane4.exe")), program(QStringLiteral("400"))) &&
              writeFile(file(QStringLiteral("Orvane4.res")), resourceFileAt(QStringLiteral("1"))) &&
              writeFile(file(QStringLiteral("Orvane4.chm")), helpFileAt(QStringLiteral("1")));
    const QMap<QString, QByteArray> data = dataFilesAt(QStringLiteral("1"));
    for (auto it = data.cbegin(); it != data.cend(); ++it) {
        ok = ok && writeFile(file(QStringLiteral("Data/") + it.key()), it.value());
    }
    return ok ? QString() : QStringLiteral("cannot lay out the product in ") + m_product;
}

} // namespace freshgate::test
