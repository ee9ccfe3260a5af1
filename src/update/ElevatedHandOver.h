#pragma once

#include "update/HandOver.h"

#include <QList>
#include <QString>

namespace freshgate {

// The caller's half of the hand-over: gathers the components whose archives are down and
// checked in the caller's own work folder, starts the elevated step once for all of them, brings
// its log lines into this run's log, and reads what became of each.
//
// GUI thread; run() waits for the step in the launcher. Failures come back per component: a
// declined prompt fails each with ElevationDeclined naming the product's folder, a step that
// left no result of this hand-over fails each with the exit status it gave.
class ElevatedHandOver {
public:
    ElevatedHandOver(ElevatedLauncher &launcher, QString appFolder, QString archiveFolder);

    void add(Component component, const QString &offered);
    [[nodiscard]] bool isEmpty() const { return m_items.isEmpty(); }

    // Every component added, in that order, with its outcome.
    [[nodiscard]] QList<HandOverOutcome> run();

private:
    [[nodiscard]] QList<HandOverOutcome> allFailed(const Failure &why) const;
    void relayLog(const QString &id) const;

    ElevatedLauncher &m_launcher;
    QString m_appFolder;
    QString m_archiveFolder;
    QList<HandOverItem> m_items;
};

} // namespace freshgate
