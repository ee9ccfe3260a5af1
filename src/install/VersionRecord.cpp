#include "install/VersionRecord.h"

#include "base/CrashPoint.h"
#include "protocol/Version.h"

namespace freshgate {

Status recordVersion(SettingsStore &store, const VersionRecord &record)
{
    const Status written = store.write(record.key, QString::number(record.version));
    stepDone("version recorded");
    if (!written) {
        return written.failure().within(QStringLiteral("recording %1").arg(recordText(record)));
    }
    return {};
}

QString recordText(const VersionRecord &record)
{
    return QLatin1String(settingInfo(record.key).name) + u'=' + QString::number(record.version);
}

std::optional<VersionRecord> parseRecordText(const QString &text)
{
    const qsizetype equals = text.lastIndexOf(u'=');
    if (equals < 0) {
        return std::nullopt;
    }
    const std::optional<qint16> version = parseVersion(text.mid(equals + 1));
    const QString name = text.left(equals);
    for (const SettingKey key : {SettingKey::ResourceVersion, SettingKey::DataVersion,
                                 SettingKey::HelpVersion, SettingKey::ExeVersion}) {
        if (version && name == QLatin1String(settingInfo(key).name)) {
            return VersionRecord{key, *version};
        }
    }
    return std::nullopt;
}

} // namespace freshgate
