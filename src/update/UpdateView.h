#pragma once

#include <QString>

namespace freshgate {

// What the update run needs of the window. The window implements it; tests use a
// recording view. Called on the GUI thread only; rows are numbered 1 to 4.
class UpdateView {
public:
    virtual ~UpdateView() = default;

    virtual void setRow(int row, const QString &iconKey, const QString &status) = 0;
    // Changes the status text and leaves the icon as it is.
    virtual void setRowStatus(int row, const QString &status) = 0;
    virtual void setProgress(double value) = 0;
    virtual void setExplanation(const QString &text) = 0;
    [[nodiscard]] virtual QString finishTag() const = 0;
    virtual void setFinishTag(const QString &tag) = 0;
    virtual void enableFinish() = 0;
    // A warning the user must acknowledge; returns when they did.
    virtual void showWarning(const QString &text) = 0;
    // Marks the whole run failed and arms Finish to start the product.
    virtual void reEnable() = 0;
};

} // namespace freshgate
