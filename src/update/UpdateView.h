#pragma once

#include "platform/StringTable.h"
#include "protocol/Components.h"

#include <QString>
#include <array>
#include <optional>

namespace freshgate {

// The four task rows of the window, in the order the run works them.
inline constexpr int kTaskRows = 4;

// What each row is called, as the window shows it and messages name it.
inline constexpr std::array<const char *, kTaskRows> kTaskNames{"Resource files", "DataCore",
                                                                "Help file", "Program files"};

// The row (1 to kTaskRows) that shows component; both program packages share the last.
[[nodiscard]] inline int taskRow(Component component)
{
    switch (component) {
    case Component::Resource:
        return 1;
    case Component::Data:
        return 2;
    case Component::Help:
        return 3;
    case Component::ExePatch:
    case Component::ExeFull:
        return 4;
    }
    return kTaskRows;
}

// The name of row (1 to kTaskRows).
[[nodiscard]] inline QString taskName(int row)
{
    return QLatin1String(kTaskNames.at(static_cast<std::size_t>(row - 1)));
}

// What a task row shows beside its name.
enum class RowIcon { Downloading, Tick, ClosedFolder, Save, Delete };

// The window's image-list key for an icon, which also names its picture.
[[nodiscard]] inline QString imageKey(RowIcon icon)
{
    switch (icon) {
    case RowIcon::Downloading:
        return QStringLiteral("downloading");
    case RowIcon::Tick:
        return QStringLiteral("tick");
    case RowIcon::ClosedFolder:
        return QStringLiteral("closedfolder");
    case RowIcon::Save:
        return QStringLiteral("save");
    case RowIcon::Delete:
        return QStringLiteral("delete");
    }
    return {};
}

// What Finish starts: the product as it now is, or the set-up a full package brought.
enum class FinishMode { RunProduct, RunSetup };

// What the update run needs of the window. The window implements it; tests use a
// recording view. Called on the GUI thread only; rows are numbered 1 to kTaskRows. Texts
// are rows of the string table, which the window looks up.
class UpdateView {
public:
    virtual ~UpdateView() = default;

    virtual void setRow(int row, RowIcon icon, StringId status) = 0;
    // Changes the status text and leaves the icon as it is; detail follows it on the row
    // ("12.3 of 45.6 MB").
    virtual void setRowStatus(int row, StringId status, const QString &detail) = 0;
    // Why a row failed, for whoever points at it.
    virtual void setRowTip(int row, const QString &tip) = 0;
    virtual void setProgress(double value) = 0;
    // A transfer moved to another state (the transfer control's number); the bar creeps.
    virtual void Inet1_StateChanged(int State) = 0;
    // The text under the list.
    virtual void setExplanation(const QString &text) = 0;
    // The mode Finish is armed with; nothing when it holds neither (then Finish does nothing).
    [[nodiscard]] virtual std::optional<FinishMode> finishMode() const = 0;
    virtual void setFinishMode(FinishMode mode) = 0;
    virtual void enableFinish() = 0;
    // A warning the user must acknowledge; returns when they did. text is its first line,
    // explanation the sentences of cause and remedy under it, details the technical lines for
    // whoever asks for them.
    virtual void showWarning(const QString &text, const QString &explanation,
                             const QString &details) = 0;
    // Marks the run failed (every row but the ones it installed or found up to date) and arms
    // Finish to start the product.
    virtual void ReEnable() = 0;
};

} // namespace freshgate
