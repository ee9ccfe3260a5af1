// What a maker gets from `cmake --install` and from the .deb: the publisher alone, with its
// manual page, copyright, changelog and README where Debian puts them, a program that runs from
// there, and a package that takes over from the freshgate package that shipped both programs.
#include "support/Files.h"
#include "support/Process.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using freshgate::test::ProcessOptions;
using freshgate::test::ProcessRun;
using freshgate::test::readFile;
using freshgate::test::runProcess;
using freshgate::test::writeFile;

namespace {

struct Ran {
    int exitCode = -1;
    QByteArray output;
};

Ran run(const QString &program, const QStringList &arguments)
{
    const ProcessRun run =
        runProcess(program, arguments, ProcessOptions().withTimeout(240000).merged());
    return {run.exitCode, run.out};
}

QString buildDir()
{
    return qEnvironmentVariable("FRESHGATE_BUILD_DIR");
}

const QStringList kInstalledFiles = {
    QStringLiteral("bin/freshgate-publish"),
    QStringLiteral("share/man/man1/freshgate-publish.1.gz"),
    QStringLiteral("share/doc/freshgate-publish/README.md"),
    QStringLiteral("share/doc/freshgate-publish/copyright"),
    QStringLiteral("share/doc/freshgate-publish/changelog.Debian.gz"),
};

QByteArray gunzip(const QString &file)
{
    return run(QStringLiteral("gzip"), {QStringLiteral("-dc"), file}).output;
}

// The freshgate package as 1.1.0 laid it out: both programs on PATH, uncompressed manual pages
// and the README in a folder named after the project.
QString buildOldPackage(const QString &folder)
{
    const QString tree = folder + QStringLiteral("/old");
    const QByteArray program = "#!/bin/sh\necho freshgate 1.1.0\n";
    const bool laidOut =
        writeFile(tree + QStringLiteral("/DEBIAN/control"),
                  "Package: freshgate\nVersion: 1.1.0\nArchitecture: all\n"
                  "Maintainer: Velmora <support@velmora.example>\n"
                  "Description: Updater for an installed Orvane4, and its publishing tool\n") &&
        writeFile(tree + QStringLiteral("/usr/bin/freshgate"), program, true) &&
        writeFile(tree + QStringLiteral("/usr/bin/freshgate-publish"), program, true) &&
        writeFile(tree + QStringLiteral("/usr/share/man/man1/freshgate.1"), ".TH FRESHGATE 1\n") &&
        writeFile(tree + QStringLiteral("/usr/share/man/man1/freshgate-publish.1"), ".TH X 1\n") &&
        writeFile(tree + QStringLiteral("/usr/share/doc/Freshgate/README.md"), "# Freshgate\n");
    if (!laidOut) {
        return {};
    }
    const QString deb = folder + QStringLiteral("/freshgate_1.1.0_all.deb");
    const Ran built = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--root-owner-group"),
                                                       QStringLiteral("--build"), tree, deb});
    return built.exitCode == 0 ? deb : QString();
}

// dpkg working on a database of its own under root, so the machine's packages are untouched.
// Dependencies are the machine's business, not this database's.
Ran dpkgIn(const QString &root, QStringList arguments)
{
    arguments.prepend(QStringLiteral("--force-depends"));
    arguments.prepend(QStringLiteral("--force-not-root"));
    arguments.prepend(QStringLiteral("--force-script-chrootless"));
    arguments.prepend(QStringLiteral("--root=") + root);
    return run(QStringLiteral("dpkg"), arguments);
}

bool makeDpkgRoot(const QString &root)
{
    const QString admin = root + QStringLiteral("/var/lib/dpkg");
    return QDir().mkpath(admin + QStringLiteral("/info")) &&
           QDir().mkpath(admin + QStringLiteral("/updates")) &&
           writeFile(admin + QStringLiteral("/status"), {}) &&
           writeFile(admin + QStringLiteral("/available"), {});
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

    QTemporaryDir packages;
    QString deb;

private slots:
    void installTree()
    {
        QTemporaryDir prefix;
        const Ran install =
            run(QStringLiteral("cmake"), {QStringLiteral("--install"), buildDir(),
                                          QStringLiteral("--prefix"), prefix.path()});
        QVERIFY2(install.exitCode == 0, install.output.constData());
        for (const QString &file : kInstalledFiles) {
            QVERIFY2(QFileInfo(prefix.filePath(file)).isFile(), qPrintable(file));
        }
        // The updater writes a product into the folder it runs from: never onto PATH.
        QVERIFY(!QFileInfo::exists(prefix.filePath(QStringLiteral("bin/freshgate"))));
        QVERIFY(!QFileInfo::exists(prefix.filePath(QStringLiteral("share/doc/Freshgate"))));

        // The installed tool runs on its own, away from the build tree.
        const QString tool = prefix.filePath(QStringLiteral("bin/freshgate-publish"));
        const Ran help = run(tool, {QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.output.startsWith("Usage: freshgate-publish"));
        const Ran version = run(tool, {QStringLiteral("--version")});
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.output, QByteArray("freshgate-publish " FRESHGATE_VERSION "\n"));

        // Each page carries the version the build has, not a placeholder, and every section a
        // reader looks for; the updater's is not installed but ships in the Windows zip.
        const QByteArray updaterPage =
            readFile(QDir(buildDir()).filePath(QStringLiteral("man/freshgate.1")));
        QVERIFY(!updaterPage.isEmpty());
        const QByteArray publisherPage =
            gunzip(prefix.filePath(QStringLiteral("share/man/man1/freshgate-publish.1.gz")));
        for (const QByteArray &page : {updaterPage, publisherPage}) {
            QVERIFY2(page.contains("\"Freshgate " FRESHGATE_VERSION "\""),
                     page.left(200).constData());
            for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS",
                                        "FILES", "ENVIRONMENT", "EXAMPLES"}) {
                QVERIFY2(page.contains(".SH " + QByteArray(section) + "\n"), section);
            }
        }
        const QByteArray copyright =
            readFile(prefix.filePath(QStringLiteral("share/doc/freshgate-publish/copyright")));
        QVERIFY(copyright.startsWith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"));
        QVERIFY(copyright.contains("Copyright: 2026 The Freshgate authors\n"));
    }

    void debianPackage()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dpkg-deb")).isEmpty()) {
            QSKIP("no dpkg-deb on this machine");
        }
        const Ran pack = run(QStringLiteral("cpack"),
                             {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"),
                              packages.path(), QStringLiteral("--config"),
                              QDir(buildDir()).filePath(QStringLiteral("CPackConfig.cmake"))});
        QVERIFY2(pack.exitCode == 0, pack.output.constData());
        const QStringList debs = QDir(packages.path()).entryList({QStringLiteral("*.deb")});
        QCOMPARE(debs.size(), 1);
        QVERIFY2(
            debs.first().startsWith(QStringLiteral("freshgate-publish_" FRESHGATE_VERSION "-1_")),
            qPrintable(debs.first()));
        deb = packages.filePath(debs.first());

        const Ran contents = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), deb});
        QCOMPARE(contents.exitCode, 0);
        for (const QString &file : kInstalledFiles) {
            QVERIFY2(contents.output.contains("./usr/" + file.toUtf8() + "\n"), qPrintable(file));
        }
        QVERIFY2(!contents.output.contains("./usr/bin/freshgate\n"), contents.output.constData());

        const auto field = [this](const char *name) {
            return run(QStringLiteral("dpkg-deb"),
                       {QStringLiteral("--field"), deb, QLatin1String(name)})
                .output;
        };
        // The libraries the publisher loads, and none that only the updater needs.
        const QByteArray depends = field("Depends");
        for (const char *library : {"libqt6core6", "libsodium23", "libgcab-1.0-0"}) {
            QVERIFY2(depends.contains(library), depends.constData());
        }
        for (const char *library : {"libqt6widgets6", "libqt6network6", "libmspack0", "libchm1"}) {
            QVERIFY2(!depends.contains(library), depends.constData());
        }
        QCOMPARE(field("Breaks"), QByteArray("freshgate (<< " FRESHGATE_VERSION ")\n"));
        QCOMPARE(field("Replaces"), QByteArray("freshgate (<< " FRESHGATE_VERSION ")\n"));
    }

    // Over the 1.1.0 freshgate package: the publisher's files change owner, the updater leaves
    // PATH once the old package is removed, and the publisher stays and runs.
    void upgradesOverOldPackage()
    {
        if (deb.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("dpkg")).isEmpty()) {
            QSKIP("needs dpkg and the package built above");
        }
        const QString root = packages.filePath(QStringLiteral("root"));
        QVERIFY(makeDpkgRoot(root));
        const QString old = buildOldPackage(packages.path());
        QVERIFY(!old.isEmpty());
        Ran step = dpkgIn(root, {QStringLiteral("--install"), old});
        QVERIFY2(step.exitCode == 0, step.output.constData());

        // As apt does it: unpack over the old package, which is deconfigured as the new one
        // breaks it, remove the old one, configure the new one.
        const QList<QStringList> steps = {
            {QStringLiteral("--auto-deconfigure"), QStringLiteral("--unpack"), deb},
            {QStringLiteral("--remove"), QStringLiteral("freshgate")},
            {QStringLiteral("--configure"), QStringLiteral("freshgate-publish")},
        };
        for (const QStringList &arguments : steps) {
            step = dpkgIn(root, arguments);
            QVERIFY2(step.exitCode == 0, step.output.constData());
        }

        QVERIFY(!QFileInfo::exists(root + QStringLiteral("/usr/bin/freshgate")));
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("/usr/share/doc/Freshgate")));
        const Ran owner = dpkgIn(
            root, {QStringLiteral("--search"), QStringLiteral("/usr/bin/freshgate-publish")});
        QVERIFY2(owner.output.startsWith("freshgate-publish: "), owner.output.constData());
        const Ran version =
            run(root + QStringLiteral("/usr/bin/freshgate-publish"), {QStringLiteral("--version")});
        QCOMPARE(version.output, QByteArray("freshgate-publish " FRESHGATE_VERSION "\n"));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
