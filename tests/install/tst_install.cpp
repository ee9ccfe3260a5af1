// What a user gets from `cmake --install` and from the .deb: both programs, their manual
// pages and the README, in the usual places, and programs that run from there.
#include "support/Process.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using freshgate::test::ProcessOptions;
using freshgate::test::ProcessRun;
using freshgate::test::runProcess;

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
    QStringLiteral("bin/freshgate"),
    QStringLiteral("bin/freshgate-publish"),
    QStringLiteral("share/man/man1/freshgate.1"),
    QStringLiteral("share/man/man1/freshgate-publish.1"),
    QStringLiteral("share/doc/Freshgate/README.md"),
};

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

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
        QVERIFY(QFileInfo(prefix.filePath(QStringLiteral("bin/freshgate"))).isExecutable());

        // The installed tool runs on its own, away from the build tree.
        const Ran help = run(prefix.filePath(QStringLiteral("bin/freshgate-publish")),
                             {QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.output.startsWith("Usage: freshgate-publish"));

        // The pages carry the version the build has, not a placeholder.
        QFile page(prefix.filePath(QStringLiteral("share/man/man1/freshgate.1")));
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray head = page.readLine();
        QVERIFY2(head.contains("\"Freshgate " FRESHGATE_VERSION "\""), head.constData());
    }

    void debianPackage()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dpkg-deb")).isEmpty()) {
            QSKIP("no dpkg-deb on this machine");
        }
        QTemporaryDir out;
        const Ran pack = run(QStringLiteral("cpack"),
                             {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"),
                              out.path(), QStringLiteral("--config"),
                              QDir(buildDir()).filePath(QStringLiteral("CPackConfig.cmake"))});
        QVERIFY2(pack.exitCode == 0, pack.output.constData());
        const QStringList debs = QDir(out.path()).entryList({QStringLiteral("*.deb")});
        QCOMPARE(debs.size(), 1);
        QVERIFY2(debs.first().startsWith(QStringLiteral("freshgate_" FRESHGATE_VERSION "_")),
                 qPrintable(debs.first()));
        const QString deb = out.filePath(debs.first());

        const Ran contents = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), deb});
        QCOMPARE(contents.exitCode, 0);
        for (const QString &file : kInstalledFiles) {
            QVERIFY2(contents.output.contains("./usr/" + file.toUtf8() + "\n"), qPrintable(file));
        }

        // A fresh machine gets the libraries the programs load from the package's dependencies.
        const Ran depends = run(QStringLiteral("dpkg-deb"),
                                {QStringLiteral("--field"), deb, QStringLiteral("Depends")});
        QCOMPARE(depends.exitCode, 0);
        for (const char *library : {"libqt6widgets6", "libqt6network6", "libmspack0", "libchm1",
                                    "libsodium23", "libgcab-1.0-0"}) {
            QVERIFY2(depends.output.contains(library), depends.output.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
