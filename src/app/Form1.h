#pragma once

#include "transfer/HttpTransfer.h"
#include "update/UpdateRun.h"
#include "update/UpdateView.h"

#include <QTimer>
#include <QWidget>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace Ui {
class Form1;
}

namespace freshgate {

class Help;
class SettingsStore;

// The updater's one window: the headline, the progress strip, the four task
// rows, the explanation and the Finish button. It starts the update run two
// seconds after it is first shown and shows what the run reports.
//
// GUI thread. The window owns the transfer and the run; the settings store is
// the caller's and must outlive it. Closing the window while the run works
// cancels the run, and the process ends once the run has stopped.
class Form1 : public QWidget, public UpdateView {
    Q_OBJECT

public:
    Form1(SettingsStore &settings, QString appFolder, QString serverBase,
          QWidget *parent = nullptr);
    ~Form1() override;

    // Where this run's log is written, named at the end of every warning's details.
    void setLogPath(const QString &path) { m_logPath = path; }

    // Every file the run fetches must then be signed by one of these keys.
    void setTrustedKeys(std::optional<QList<minisign::PublicKey>> keys)
    {
        m_run.setTrustedKeys(std::move(keys));
    }

    // Where this user may not change the product's folder (see UpdateRun::setElevation).
    void setElevation(ElevatedLauncher *launcher, QString localRoot)
    {
        m_run.setElevation(launcher, std::move(localRoot));
    }

    // The handlers and methods the product's updater has always had.
    void Form_Load();
    void Form_KeyDown(int keyCode, int shift);
    void Timer1_Timer();
    void StartUpdate();
    void Inet1_StateChanged(int State) override;
    void Command1_Click();
    void ReEnable() override;

    // UpdateView
    void setRow(int row, RowIcon icon, StringId status) override;
    void setRowStatus(int row, StringId status, const QString &detail) override;
    void setRowTip(int row, const QString &tip) override;
    void setProgress(double value) override;
    void setExplanation(const QString &text) override;
    [[nodiscard]] std::optional<FinishMode> finishMode() const override;
    void setFinishMode(FinishMode mode) override;
    void enableFinish() override;
    void showWarning(const QString &text, const QString &explanation,
                     const QString &details) override;

    // The finish mode as Command1's Tag holds it in the stored form: "0" runs the product, "1"
    // set-up; any other text makes Finish do nothing.
    [[nodiscard]] QString finishTag() const;
    void setFinishTag(const QString &tag);

    // The controls, by the names the rest of the program knows them by.
    [[nodiscard]] QTreeWidget *lstProgress() const;
    [[nodiscard]] QProgressBar *progProgress() const;
    [[nodiscard]] QLabel *Label1() const;
    [[nodiscard]] QLabel *labLabel() const;
    [[nodiscard]] QPushButton *Command1() const;
    [[nodiscard]] QTimer &Timer1() { return m_timer1; }
    [[nodiscard]] HttpTransfer &Inet1() { return m_inet1; }
    [[nodiscard]] Help *hHelp() const { return m_hHelp.get(); }
    [[nodiscard]] double progressValue() const { return m_progress; }
    // The image-list key a row shows.
    [[nodiscard]] QString rowIconKey(int row) const;

    // The picture imageKey(icon) names.
    [[nodiscard]] static QIcon listImage(RowIcon icon);

protected:
    // The window sees F1 before any of its controls, whatever the shift state.
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    [[nodiscard]] QTreeWidgetItem *row(int index) const;
    Help &help();
    void describeForScreenReaders();
    // Shows the reason a selected row failed, as hovering over it does.
    void showSelectedRowTip();

    std::unique_ptr<Ui::Form1> m_ui;
    SettingsStore &m_settings;
    QString m_appFolder;
    HttpTransfer m_inet1;
    UpdateRun m_run;
    QTimer m_timer1;
    std::unique_ptr<Help> m_hHelp;
    QString m_logPath;
    // Command1's Tag, as the stored form holds it: the product.
    std::optional<FinishMode> m_finishMode = FinishMode::RunProduct;
    double m_progress = 0;
    bool m_shown = false;
};

} // namespace freshgate
