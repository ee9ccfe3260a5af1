#include "settings/SettingsStore.h"

#include "base/FileProbe.h"
#include "settings/IniFile.h"

#include <QDir>
#include <QLoggingCategory>
#include <array>

Q_LOGGING_CATEGORY(lcSettings, "freshgate.settings", QtWarningMsg)

namespace freshgate {
namespace {

constexpr std::array<SettingInfo, 7> kSettings{{
    // No text stands in for it: the time-out rule (transfer/TransferRules.h) reads an absent
    // value as its default.
    {SettingKey::HttpTimeout, "User preferences", "HTTP timeout", "", false},
    {SettingKey::ResourceVersion, "Freshgate", "Resource file version", "1", true},
    {SettingKey::DataVersion, "Freshgate", "Data files version", "1", true},
    {SettingKey::HelpVersion, "Freshgate", "Help file version", "1", true},
    {SettingKey::ExeVersion, "Freshgate", "EXE file version", "400", true},
    // Seconds since the epoch; no default: absent means no manifest was accepted yet.
    {SettingKey::ManifestSignedAt, "Freshgate", "Manifest signed at", "", true},
    {SettingKey::UpdateServer, "Freshgate", "Update server", "", false},
}};

std::unique_ptr<QSettings> openStore()
{
#ifdef Q_OS_WIN
    // The branch the product's own settings calls have always used.
    return std::make_unique<QSettings>(
        QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\") +
            QLatin1String(kSettingsApplication),
        QSettings::NativeFormat);
#else
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QLatin1String(kSettingsApplication), QString());
#endif
}

// On Windows a path under HKEY_CURRENT_USER names a registry branch, as the product's own store
// is; elsewhere every path is a file.
bool isRegistryBranch([[maybe_unused]] const QString &path)
{
#ifdef Q_OS_WIN
    return path.startsWith(QLatin1String("HKEY_CURRENT_USER\\"), Qt::CaseInsensitive);
#else
    return false;
#endif
}

QString groupKey(const QString &section, const QString &key)
{
    return section + QLatin1Char('/') + key;
}

} // namespace

const SettingInfo &settingInfo(SettingKey key)
{
    for (const SettingInfo &info : kSettings) {
        if (info.key == key) {
            return info;
        }
    }
    Q_UNREACHABLE();
}

SettingsStore::SettingsStore() : m_settings(openStore()) {}

SettingsStore::SettingsStore(const QString &path)
    : m_settings(std::make_unique<QSettings>(path, isRegistryBranch(path) ? QSettings::NativeFormat
                                                                          : QSettings::IniFormat))
{
}

SettingsStore::~SettingsStore() = default;

SettingKey versionKey(Component component)
{
    switch (component) {
    case Component::Resource:
        return SettingKey::ResourceVersion;
    case Component::Data:
        return SettingKey::DataVersion;
    case Component::Help:
        return SettingKey::HelpVersion;
    case Component::ExePatch:
    case Component::ExeFull:
        return SettingKey::ExeVersion;
    }
    Q_UNREACHABLE();
}

QString SettingsStore::read(const QString &section, const QString &key) const
{
    const QVariant value = m_settings->value(groupKey(section, key));
    // The INI reader turns an unquoted "a, b" into a list; it is still one text to us.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

Status SettingsStore::write(const QString &section, const QString &key, const QString &value)
{
#ifdef Q_OS_WIN
    if (m_settings->format() == QSettings::NativeFormat) {
        m_settings->setValue(groupKey(section, key), value);
        m_settings->sync();
        if (m_settings->status() != QSettings::NoError) {
            const QString why = QStringLiteral("could not write %1/%2 to %3")
                                    .arg(section, key, m_settings->fileName());
            qCWarning(lcSettings).noquote() << why;
            return failure(FailureKind::Disk, why);
        }
        qCInfo(lcSettings) << "wrote" << section << key << "=" << value;
        return {};
    }
#endif
    if (Status written = writeIniValue(m_settings->fileName(), section, key, value); !written) {
        qCWarning(lcSettings).noquote()
            << "could not write" << section << key << ":" << written.message();
        return written;
    }
    // QSettings answers from what it read last; it reads the file again when it changed.
    m_settings->sync();
    qCInfo(lcSettings) << "wrote" << section << key << "=" << value;
    return {};
}

QString SettingsStore::read(SettingKey key) const
{
    const SettingInfo &info = settingInfo(key);
    return read(QLatin1String(info.section), QLatin1String(info.name));
}

QString SettingsStore::readOrDefault(SettingKey key) const
{
    const QString value = read(key);
    return value.isEmpty() ? QLatin1String(settingInfo(key).fallback) : value;
}

Status SettingsStore::write(SettingKey key, const QString &value)
{
    const SettingInfo &info = settingInfo(key);
    Q_ASSERT(info.writtenByUs);
    return write(QLatin1String(info.section), QLatin1String(info.name), value);
}

Status SettingsStore::checkWritable() const
{
#ifdef Q_OS_WIN
    if (m_settings->format() == QSettings::NativeFormat) {
        if (!m_settings->isWritable()) {
            return fileFailure(
                FailureKind::Denied, m_settings->fileName(),
                QStringLiteral("cannot write the settings %1").arg(m_settings->fileName()), {});
        }
        return {};
    }
#endif
    if (const Status writable = probeFile(m_settings->fileName()); !writable) {
        // Whatever was refused, it is the settings the user must see to.
        Failure why = writable.failure().within(QStringLiteral("the settings file"));
        why.path = QDir::toNativeSeparators(m_settings->fileName());
        return why;
    }
    return {};
}

QString SettingsStore::location() const
{
    return m_settings->fileName();
}

} // namespace freshgate
