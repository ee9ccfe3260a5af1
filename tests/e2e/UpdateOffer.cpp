#include "UpdateOffer.h"

#include "InstalledProduct.h"
#include "support/Files.h"
#include "support/NginxServer.h"
#include "support/Process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace freshgate::test {

namespace {

const QString kInstalled = QStringLiteral("1");

} // namespace

QString builtProgram(const QString &name)
{
    return QDir(qEnvironmentVariable("FRESHGATE_BUILD_DIR")).filePath(name);
}

QByteArray resourceFileAt(const QString &version)
{
    return "Orvane4 resources, version " + version.toUtf8() + '\n';
}

QByteArray helpFileAt(const QString &version)
{
    return "Orvane4 help, version " + version.toUtf8() + '\n';
}

QMap<QString, QByteArray> dataFilesAt(const QString &version)
{
    const QByteArray v = version.toUtf8();
    QMap<QString, QByteArray> files{
        {QStringLiteral("prices.dat"), "prices, version " + v + '\n'},
        {QStringLiteral("maps/north.map"), "north map, version " + v + '\n'},
    };
    // The installed version lacks the map that every later one brings, and the folder of
    // tables, which comes in whole.
    if (version != kInstalled) {
        files.insert(QStringLiteral("maps/south.map"), "south map, version " + v + '\n');
        files.insert(QStringLiteral("tables/rates.dat"), "rates, version " + v + '\n');
    }
    return files;
}

QString publishOffer(const InstalledProduct &product, const UpdateOffer &offer,
                     const QString &serverRoot)
{
    return publishOffer(
        [&product](const QString &name, const QString &version) {
            return product.programScript(name, version);
        },
        offer, serverRoot);
}

QString publishOffer(const ProgramMaker &program, const UpdateOffer &offer,
                     const QString &serverRoot, const PublishTool &tool)
{
    QTemporaryDir sources;
    if (!sources.isValid()) {
        return QStringLiteral("cannot create a temporary folder");
    }
    const QDir dir(tool.sources.isEmpty() ? sources.path() : tool.sources);
    const Versions &v = offer.versions;
    QStringList arguments{QStringLiteral("--out"), serverRoot};
    bool ok = true;

    const auto folder = [&](const QString &component, const QString &option,
                            const QString &version) {
        arguments << option;
        if (!version.isEmpty()) {
            arguments << version;
        }
        arguments << dir.filePath(component);
        if (offer.bulkIn == component && offer.bulkBytes > 0) {
            ok = ok && writeFile(dir.filePath(component + QStringLiteral("/bulk.bin")),
                                 randomBytes(offer.bulkBytes));
        }
    };
    if (!v.resource.isEmpty()) {
        ok = ok && writeFile(dir.filePath(QStringLiteral("resource/Orvane4.res")),
                             resourceFileAt(v.resource));
        folder(QStringLiteral("resource"), QStringLiteral("--resource"), v.resource);
    }
    if (!v.data.isEmpty()) {
        const QMap<QString, QByteArray> data = dataFilesAt(v.data);
        for (auto it = data.cbegin(); it != data.cend(); ++it) {
            ok = ok && writeFile(dir.filePath(QStringLiteral("data/") + it.key()), it.value());
        }
        folder(QStringLiteral("data"), QStringLiteral("--data"), v.data);
    }
    if (!v.help.isEmpty()) {
        ok = ok && writeFile(dir.filePath(QStringLiteral("help/Orvane4.chm")), helpFileAt(v.help));
        folder(QStringLiteral("help"), QStringLiteral("--helpfile"), v.help);
    }
    if (!v.exe.isEmpty()) {
        ok = ok && writeFile(dir.filePath(QStringLiteral("exe/Orvane4.exe")),
                             program(QStringLiteral("Orvane4.exe"), v.exe), true);
        folder(QStringLiteral("exe"), QStringLiteral("--exe"), v.exe);
    }
    if (!offer.fullThreshold.isEmpty()) {
        ok = ok &&
             writeFile(dir.filePath(QStringLiteral("full/setup.exe")),
                       program(QStringLiteral("setup.exe"), v.exe), true) &&
             writeFile(dir.filePath(QStringLiteral("full/Orvane4.pkg")),
                       "Orvane4 full package, version " + v.exe.toUtf8() + '\n');
        folder(QStringLiteral("full"), QStringLiteral("--full-exe"), {});
        arguments << QStringLiteral("--full-threshold") << offer.fullThreshold;
    }
    if (!ok) {
        return QStringLiteral("cannot lay out the component folders");
    }

    if (tool.run) {
        return tool.run(arguments);
    }
    const ProcessRun publish = runProcess(builtProgram(QStringLiteral("freshgate-publish")),
                                          arguments, ProcessOptions().merged());
    return publish.succeeded() ? QString() : publish.failure();
}

QStringList requestedPaths(const NginxServer &server)
{
    static const QRegularExpression request(QStringLiteral("\"GET (\\S+) HTTP/"));
    QStringList paths;
    auto it = request.globalMatch(server.accessLog());
    while (it.hasNext()) {
        paths << it.next().captured(1);
    }
    return paths;
}

} // namespace freshgate::test
