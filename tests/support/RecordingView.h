#pragma once

// Header only: it needs the update engine's view and the string table, which only the tests of
// the engine link.

#include "platform/StringTable.h"
#include "update/UpdateView.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <array>

namespace freshgate::test {

// Keeps what a run showed: each row as "icon/status text", the bar's values in order, and every
// other call in order, so a test can check the whole story of a run, or only its end.
class RecordingView : public UpdateView {
public:
    RecordingView() { rows.fill(QStringLiteral("closedfolder/Waiting...")); }

    void setRow(int row, RowIcon icon, StringId status) override
    {
        rows[row - 1] = imageKey(icon) + QLatin1Char('/') + LoadResString(status);
        history << QStringLiteral("row %1 %2").arg(row).arg(rows[row - 1]);
    }
    void setRowStatus(int row, StringId status, const QString &detail) override
    {
        rows[row - 1] = icon(row) + QLatin1Char('/') + LoadResString(status);
        if (detail.isEmpty()) {
            history << QStringLiteral("row %1 %2").arg(row).arg(rows[row - 1]);
        } else {
            details << QStringLiteral("row %1 %2").arg(row).arg(detail);
        }
    }
    void setRowTip(int row, const QString &tip) override { tips[row - 1] = tip; }
    void setProgress(double value) override { progress << value; }
    void Inet1_StateChanged(int) override { ++transferStates; }
    void setExplanation(const QString &text) override { explanation = text; }
    std::optional<FinishMode> finishMode() const override { return mode; }
    void setFinishMode(FinishMode value) override { mode = value; }
    void enableFinish() override { history << QStringLiteral("finish enabled"); }
    void showWarning(const QString &text, const QString &why, const QString &technical) override
    {
        history << QStringLiteral("warning ") + text;
        explanations << why;
        technicalLines << technical;
    }
    void ReEnable() override { history << QStringLiteral("reEnable"); }

    [[nodiscard]] QStringList rowStates() const { return {rows.begin(), rows.end()}; }
    // The image-list key row (1-based) shows.
    [[nodiscard]] QString icon(int row) const
    {
        return rows[row - 1].section(QLatin1Char('/'), 0, 0);
    }
    [[nodiscard]] bool warned() const
    {
        return std::any_of(history.begin(), history.end(), [](const QString &call) {
            return call.startsWith(QLatin1String("warning "));
        });
    }
    [[nodiscard]] bool finished() const
    {
        return history.contains(QStringLiteral("finish enabled"));
    }

    std::array<QString, kTaskRows> rows;
    std::array<QString, kTaskRows> tips;
    // The amounts a row's status showed while it downloaded, apart from the story above.
    QStringList details;
    // What each warning said under its text, and its technical line.
    QStringList explanations;
    QStringList technicalLines;
    QList<double> progress;
    int transferStates = 0;
    QString explanation;
    std::optional<FinishMode> mode = FinishMode::RunProduct;
    QStringList history;
};

} // namespace freshgate::test
