#pragma once

#include <QHash>
#include <QLocale>
#include <QString>

namespace freshgate {

// The program's string table: every text a user reads, fetched by number.
// The table holds one block per language; the block follows the user's locale
// and falls back to US English. Read-only after construction; any thread.
class StringTable {
public:
    explicit StringTable(const QLocale &locale = QLocale::system());

    // The text of row id, or an empty string when the table has no such row.
    [[nodiscard]] QString text(int id) const;
    [[nodiscard]] bool contains(int id) const;
    // The block in use, such as "en-US".
    [[nodiscard]] QString block() const { return m_block; }

    // The block a locale reads from: its own where the table has one, else "en-US".
    [[nodiscard]] static QString blockFor(const QLocale &locale);
    // Every block the table holds.
    [[nodiscard]] static QStringList blocks();

private:
    QString m_block;
    QHash<int, QString> m_rows;
};

// The process-wide table for the user's locale.
[[nodiscard]] const StringTable &strings();
// Shorthand for strings().text(id), named as the product's code has always called it.
[[nodiscard]] QString LoadResString(int id);

} // namespace freshgate
