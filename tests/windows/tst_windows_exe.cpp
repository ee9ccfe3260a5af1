// The Windows executables as Windows reads them before it runs them: the application manifest
// embedded in each (read back out with wrestool), and the DLLs each imports (objdump), which must
// all be Windows' own, since nothing is shipped beside them.
#include "support/Process.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <QXmlStreamReader>

using namespace freshgate::test;

namespace {

QString executable(const QString &name)
{
    return QFileInfo(qEnvironmentVariable("FRESHGATE_WINDOWS_EXE")).dir().filePath(name);
}

// The manifest's elements by their path from the root ("assembly/description"), each with its
// text; its attributes as "path@name", its namespace as "path#".
QMap<QString, QString> manifestFields(const QByteArray &xml, QString *error)
{
    QMap<QString, QString> fields;
    QStringList path;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            path << reader.name().toString();
            const QString at = path.join(u'/');
            fields.insert(at + u'#', reader.namespaceUri().toString());
            for (const QXmlStreamAttribute &attribute : reader.attributes()) {
                fields.insert(at + u'@' + attribute.name().toString(),
                              attribute.value().toString());
            }
        } else if (token == QXmlStreamReader::EndElement) {
            path.removeLast();
        } else if (token == QXmlStreamReader::Characters && !reader.isWhitespace()) {
            fields[path.join(u'/')] += reader.text().trimmed();
        }
    }
    if (reader.hasError()) {
        *error = reader.errorString();
    }
    return fields;
}

} // namespace

class WindowsExe : public QObject {
    Q_OBJECT

private slots:
    void carriesItsManifest_data();
    void carriesItsManifest();
    void importsOnlyWindowsOwnDlls_data();
    void importsOnlyWindowsOwnDlls();
};

void WindowsExe::carriesItsManifest_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");

    const QString settings = QStringLiteral("assembly/application/windowsSettings/");
    const QString controls =
        QStringLiteral("assembly/dependency/dependentAssembly/assemblyIdentity@");
    for (const QString &program :
         {QStringLiteral("freshgate"), QStringLiteral("freshgate-publish")}) {
        const auto row = [&program](const char *name, const QString &field,
                                    const QString &expected) {
            QTest::addRow("%s: %s", qPrintable(program), name) << program << field << expected;
        };
        row("its own name", QStringLiteral("assembly/assemblyIdentity@name"),
            QStringLiteral("Velmora.Freshgate.") + program);
        row("the project's version", QStringLiteral("assembly/assemblyIdentity@version"),
            QStringLiteral(FRESHGATE_VERSION ".0"));
        row("runs as whoever starts it",
            QStringLiteral("assembly/trustInfo/security/requestedPrivileges/"
                           "requestedExecutionLevel@level"),
            QStringLiteral("asInvoker"));
        row("made for Windows 10 and 11",
            QStringLiteral("assembly/compatibility/application/supportedOS@Id"),
            QStringLiteral("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"));
        row("long paths", settings + QStringLiteral("longPathAware"), QStringLiteral("true"));
        row("sharp per monitor", settings + QStringLiteral("dpiAwareness"),
            QStringLiteral("PerMonitorV2"));
        row("sharp before Windows 10 1607", settings + QStringLiteral("dpiAware"),
            QStringLiteral("true/pm"));
        row("UTF-8 for narrow calls", settings + QStringLiteral("activeCodePage"),
            QStringLiteral("UTF-8"));
        // Windows ignores a setting outside the namespace of the version that introduced it.
        row("long paths' namespace", settings + QStringLiteral("longPathAware#"),
            QStringLiteral("http://schemas.microsoft.com/SMI/2016/WindowsSettings"));
        row("per monitor's namespace", settings + QStringLiteral("dpiAwareness#"),
            QStringLiteral("http://schemas.microsoft.com/SMI/2016/WindowsSettings"));
        row("dpiAware's namespace", settings + QStringLiteral("dpiAware#"),
            QStringLiteral("http://schemas.microsoft.com/SMI/2005/WindowsSettings"));
        row("UTF-8's namespace", settings + QStringLiteral("activeCodePage#"),
            QStringLiteral("http://schemas.microsoft.com/SMI/2019/WindowsSettings"));
        row("common controls 6", controls + QStringLiteral("name"),
            QStringLiteral("Microsoft.Windows.Common-Controls"));
        row("common controls 6, version", controls + QStringLiteral("version"),
            QStringLiteral("6.0.0.0"));
        row("common controls 6, signer", controls + QStringLiteral("publicKeyToken"),
            QStringLiteral("6595b64144ccf1df"));
    }
}

void WindowsExe::carriesItsManifest()
{
    QFETCH(QString, program);
    QFETCH(QString, field);
    QFETCH(QString, expected);

    // Resource type 24 (RT_MANIFEST), name 1: the manifest Windows reads when it starts a program.
    const ProcessRun wrestool = runProcess(QStringLiteral("wrestool"),
                                           {QStringLiteral("--extract"), QStringLiteral("--raw"),
                                            QStringLiteral("--type=24"), QStringLiteral("--name=1"),
                                            executable(program + QStringLiteral(".exe"))});
    QVERIFY2(wrestool.succeeded() && !wrestool.out.isEmpty(), qPrintable(wrestool.failure()));
    QString error;
    const QMap<QString, QString> fields = manifestFields(wrestool.out, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(fields.value(field), expected);
}

void WindowsExe::importsOnlyWindowsOwnDlls_data()
{
    QTest::addColumn<QString>("program");

    QTest::newRow("freshgate") << QStringLiteral("freshgate.exe");
    QTest::newRow("freshgate-publish") << QStringLiteral("freshgate-publish.exe");
}

void WindowsExe::importsOnlyWindowsOwnDlls()
{
    QFETCH(QString, program);

    const ProcessRun objdump =
        runProcess(QStringLiteral("x86_64-w64-mingw32-objdump"),
                   {QStringLiteral("--private-headers"), executable(program)});
    QVERIFY2(objdump.succeeded(), qPrintable(objdump.failure()));
    // What mingw's runtime, Qt and libraries linked statically bring in would be these, and
    // none of them is on a Windows machine.
    static const QRegularExpression shipped(
        QStringLiteral("^(lib.*|qt6.*|.*gcc.*|.*stdc\\+\\+.*|.*pthread.*|.*mspack.*|.*chm.*|"
                       ".*sodium.*|.*gcab.*|.*glib.*|.*gio.*|.*gobject.*|.*intl.*|.*ffi.*|"
                       ".*pcre.*|zlib.*)\\.dll$"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression dllName(QStringLiteral("DLL Name: (\\S+)"));
    QStringList dlls;
    for (auto it = dllName.globalMatch(QString::fromUtf8(objdump.out)); it.hasNext();) {
        dlls << it.next().captured(1);
    }
    QVERIFY2(dlls.contains(QStringLiteral("KERNEL32.dll")), qPrintable(dlls.join(u' ')));
    for (const QString &dll : dlls) {
        QVERIFY2(!shipped.match(dll).hasMatch(), qPrintable(dll + QStringLiteral(" is imported")));
    }
}

QTEST_GUILESS_MAIN(WindowsExe)
#include "tst_windows_exe.moc"
