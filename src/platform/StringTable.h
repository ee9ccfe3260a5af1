#pragma once

#include <QHash>
#include <QLocale>
#include <QString>

namespace freshgate {

// The rows of the string table the updater shows, by what they say.
enum class StringId : int {
    WindowTitle = 443,     // "Velmora Freshgate"
    Headline = 444,        // "Freshgate is checking for updates to Orvane4."
    BePatient = 445,       // "Please be patient, ..."
    FinishButton = 446,    // "&Finish"
    Checking = 447,        // "Checking..."
    ContactFailed = 448,   // "Freshgate could not contact the Freshgate server. ..."
    NoUpdates = 449,       // "No updates available"
    NothingNewer = 450,    // "You have the most recent available Orvane4 components ..."
    Downloading = 451,     // "Downloading..."
    Processing = 452,      // "Processing..."
    UpdateFailed = 453,    // "Update failed"
    UpdateInstalled = 454, // "Update installed"
    DoneRunProduct = 455,  // "All available updates are complete, please click finish to run ..."
    DoneRunSetup = 456, // "All updates are complete, please click finish to run Orvane4 Setup ..."
    Waiting = 457,      // "Waiting..."
    RunFailed = 458,    // "The update failed, please try again at another time."
};

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
[[nodiscard]] QString LoadResString(StringId id);

} // namespace freshgate
