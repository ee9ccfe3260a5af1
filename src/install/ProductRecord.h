#pragma once

#include "base/Result.h"
#include "install/VersionRecord.h"

#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

namespace freshgate {

// What was installed into a product's folder, kept in the folder itself ("Freshgate.installed"
// beside the product), whoever installed it. A user's own settings store records versions for
// that user only; where one user's Freshgate installed into a folder that every user shares,
// another user's store can catch up from this record instead of fetching and installing again.
//
// Each component's entry holds its version and, once the install is over, its files with their
// SHA-256, so a version is taken from the record only while its files are still the ones
// installed. GUI thread; every write goes to the disk through a durable replace.
class ProductRecord {
public:
    // The record of appFolder as it is on disk: empty when absent or unreadable.
    [[nodiscard]] static ProductRecord read(const QString &appFolder);
    [[nodiscard]] static QString pathIn(const QString &appFolder);

    [[nodiscard]] std::optional<qint16> version(SettingKey key) const;
    [[nodiscard]] QList<VersionRecord> versions() const;

    // Records version for its key and forgets the files of the key's earlier install, which no
    // longer prove anything; written before the install's journal is retired, so recovery after
    // a crash records the same.
    [[nodiscard]] Status recordVersion(const QString &appFolder, const VersionRecord &version);
    // The files (relative to appFolder) the install of key brought, with their hashes now.
    [[nodiscard]] Status recordFiles(const QString &appFolder, SettingKey key,
                                     const QStringList &files);

    // Whether the files recorded for key are all in appFolder with the bytes recorded; false
    // when none are recorded.
    [[nodiscard]] bool filesPresent(const QString &appFolder, SettingKey key) const;

private:
    struct Entry {
        qint16 version = 0;
        QMap<QString, QString> files; // relative path -> SHA-256 in hex
    };

    [[nodiscard]] Status write(const QString &appFolder) const;

    QHash<int, Entry> m_entries;
};

} // namespace freshgate
