#include "update/ElevatedHandOver.h"

#include "update/ProductFolders.h"
#include "update/RunLog.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

namespace freshgate {
namespace {

constexpr qint64 kMaxRelayedBytes = qint64{1024} * 1024;

QString newId()
{
    QString id;
    for (int i = 0; i < 4; ++i) {
        id += QString::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, u'0');
    }
    return id;
}

} // namespace

ElevatedHandOver::ElevatedHandOver(ElevatedLauncher &launcher, QString appFolder,
                                   QString archiveFolder)
    : m_launcher(launcher), m_appFolder(std::move(appFolder)),
      m_archiveFolder(std::move(archiveFolder))
{
}

void ElevatedHandOver::add(Component component, const QString &offered)
{
    m_items.append({component, offered});
}

QList<HandOverOutcome> ElevatedHandOver::run()
{
    const HandOverRequest request{newId(), m_archiveFolder, m_items};
    qCInfo(lcRun).noquote() << QStringLiteral("handing %1 component(s) to an elevated Freshgate "
                                              "(hand-over %2)")
                                   .arg(m_items.size())
                                   .arg(request.id);
    const Result<int> exit = m_launcher.runElevated(
        QStringList{QLatin1String(kElevatedInstallArgument)} + handOverArguments(request));
    relayLog(request.id);
    if (!exit) {
        Failure why = exit.failure();
        if (why.kind == FailureKind::ElevationDeclined) {
            why.path = QDir::toNativeSeparators(m_appFolder);
        }
        qCWarning(lcRun).noquote() << "the elevated install step did not run:" << why.message;
        return allFailed(why);
    }
    qCInfo(lcRun) << "the elevated install step ended with exit status" << *exit;
    if (*exit == static_cast<int>(HandOverExit::Busy)) {
        return allFailed(fileFailure(FailureKind::FolderBusy, m_appFolder,
                                     QStringLiteral("another Freshgate is updating \"%1\"")
                                         .arg(QDir::toNativeSeparators(m_appFolder)),
                                     {}));
    }
    const QString work = ProductFolders(m_appFolder).workFolder();
    const Result<QList<HandOverOutcome>> result =
        readHandOverResult(handOverResultPath(work), request.id);
    if (!result) {
        return allFailed(result.failure().within(
            QStringLiteral("the elevated install step ended with exit status %1").arg(*exit)));
    }
    QList<HandOverOutcome> outcomes;
    for (const HandOverItem &item : std::as_const(m_items)) {
        const auto told =
            std::find_if(result->begin(), result->end(), [&item](const HandOverOutcome &outcome) {
                return outcome.component == item.component;
            });
        if (told == result->end()) {
            outcomes.append({item.component,
                             failure(FailureKind::Disk,
                                     QStringLiteral("the elevated install step said nothing of %1")
                                         .arg(QLatin1String(componentInfo(item.component).name)))});
        } else {
            outcomes.append(*told);
        }
    }
    return outcomes;
}

QList<HandOverOutcome> ElevatedHandOver::allFailed(const Failure &why) const
{
    QList<HandOverOutcome> outcomes;
    for (const HandOverItem &item : m_items) {
        outcomes.append({item.component, why});
    }
    return outcomes;
}

void ElevatedHandOver::relayLog(const QString &id) const
{
    QFile file(handOverLogPath(ProductFolders(m_appFolder).workFolder()));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return;
    }
    const QString text = QString::fromUtf8(file.read(kMaxRelayedBytes));
    // A log of an earlier hand-over, left by a step that did not run this time, is not this one.
    if (!text.contains(id)) {
        return;
    }
    for (const QString &line : text.split(u'\n', Qt::SkipEmptyParts)) {
        qCInfo(lcRun).noquote() << "elevated:" << line;
    }
}

} // namespace freshgate
