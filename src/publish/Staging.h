#pragma once

// Filling the folder a publishing run builds beside the server folder: the cabinets, the
// manifest, and with a key a signature beside each. Internal to the publisher; blocking.

#include "base/Result.h"
#include "publish/PublishPlan.h"
#include "trust/Minisign.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace freshgate::publishing {

// Writes each cabinet of the plan into staging, a new one packed from its folder and a kept one
// copied from oldFolder, and last the manifest. Gives one report line per file, naming it as it
// will be once staging has taken finalFolder's place. Fails at the first file that cannot be
// made, naming it; staging is then for the caller to remove.
[[nodiscard]] Result<QStringList> fillStaging(const Plan &plan, const QString &oldFolder,
                                              const QString &staging, const QString &finalFolder);

// Signs every file of staging, the manifest last as it names the rest. Each cabinet's signature
// names its version and size, so a client can tell it belongs to this manifest and stop a
// download at that size; the manifest's names when it expires, if it does. Gives one report
// line per file signed.
[[nodiscard]] Result<QStringList> signStaging(const minisign::SecretKey &key, const Plan &plan,
                                              std::optional<qint64> expires, const QString &staging,
                                              const QString &finalFolder);

} // namespace freshgate::publishing
