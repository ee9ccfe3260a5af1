#pragma once

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QTest>
#include <functional>

namespace freshgate::test {

class InstalledProduct;
class NginxServer;

// The component versions a settings file records or an update server offers; an empty
// field is a key the settings file does not hold.
struct Versions {
    QString resource;
    QString data;
    QString help;
    QString exe;
};

// The versions the tests publish as the newest set, above an installed 1, 1, 1, 400.
inline const Versions kNewest{QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("5"),
                              QStringLiteral("415")};

// Checks a fixture step that returns what went wrong, or nothing.
#define EXPECT_OK(expression)                                                                      \
    do {                                                                                           \
        const QString why_ = (expression);                                                         \
        QVERIFY2(why_.isEmpty(), qPrintable(why_));                                                \
    } while (false)

// What a maker publishes with freshgate-publish: a version per component (an empty one is not
// published) and, when fullThreshold is set, the full program package beside the patch.
// bulkBytes of random bytes, which no compression shrinks, go into the one component named by
// bulkIn ("resource", "data", ...), so its cabinet takes long on a slow line.
struct UpdateOffer {
    Versions versions;
    QString fullThreshold;
    QString bulkIn;
    qint64 bulkBytes = 0;
};

// The freshly built program of the build tree the tests belong to.
[[nodiscard]] QString builtProgram(const QString &name);

// Lays out the offer's component folders (file contents carry their version, programs are the
// product's start-recording scripts) and publishes them into server's root with the real
// freshgate-publish. Empty on success, else why not.
[[nodiscard]] QString publishOffer(const InstalledProduct &product, const UpdateOffer &offer,
                                   const QString &serverRoot);
// The same with the programs ("Orvane4.exe", "setup.exe") made by program(name, version), as
// when the product is a Windows one.
using ProgramMaker = std::function<QByteArray(const QString &name, const QString &version)>;
// How the maker's tool runs, when not as the built freshgate-publish in a temporary folder.
struct PublishTool {
    // Runs the tool with these arguments, which name host paths; what went wrong, or nothing.
    std::function<QString(const QStringList &arguments)> run;
    // The folder the component folders are laid out in (it may hold more files for them).
    QString sources;
};
[[nodiscard]] QString publishOffer(const ProgramMaker &program, const UpdateOffer &offer,
                                   const QString &serverRoot, const PublishTool &tool = {});

// The paths of the GET requests nginx has answered so far, in order.
[[nodiscard]] QStringList requestedPaths(const NginxServer &server);

// What the product's files hold at a version, as the tests lay them out.
[[nodiscard]] QByteArray resourceFileAt(const QString &version);
[[nodiscard]] QByteArray helpFileAt(const QString &version);
[[nodiscard]] QMap<QString, QByteArray> dataFilesAt(const QString &version);

} // namespace freshgate::test

Q_DECLARE_METATYPE(freshgate::test::Versions)
