#include "support/ChmBuilder.h"

#include "support/Files.h"
#include "support/Process.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace freshgate::test {

QString buildChm(const QString &dir, const QString &name, const ChmPages &pages)
{
    QDir root(dir);
    QByteArray project = "[OPTIONS]\nCompatibility=1.1 or later\nCompiled file=" + name.toUtf8() +
                         "\nDefault topic=freshgate.htm\nLanguage=0x409 English (United "
                         "States)\nTitle=Test help\n\n[FILES]\n";
    for (auto it = pages.cbegin(); it != pages.cend(); ++it) {
        if (!writeFile(root.filePath(it.key()), it.value())) {
            return {};
        }
        project += it.key().toUtf8() + "\n";
    }
    const QString hhp = root.filePath(QStringLiteral("project.hhp"));
    if (!writeFile(hhp, project)) {
        return {};
    }
    const ProcessRun chmcmd =
        runProcess(QStringLiteral("chmcmd"), {QStringLiteral("--no-html-scan"), hhp},
                   ProcessOptions().withFolder(dir).merged());
    if (!chmcmd.succeeded()) {
        qWarning().noquote() << chmcmd.failure();
        return {};
    }
    const QString chm = root.filePath(name);
    return QFileInfo(chm).isFile() ? chm : QString();
}

QByteArray chmPage(const QByteArray &title, const QByteArray &body)
{
    return "<html><head><title>" + title + "</title></head><body>" + body + "</body></html>\n";
}

} // namespace freshgate::test
