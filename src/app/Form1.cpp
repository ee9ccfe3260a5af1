#include "app/Form1.h"

#include "app/Captions.h"
#include "platform/Help.h"
#include "platform/ProgramStart.h"
#include "platform/StringTable.h"
#include "settings/SettingsStore.h"
#include "transfer/TransferRules.h"
#include "ui_Form1.h"
#include "update/ProductFolders.h"
#include "update/RunLog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QToolTip>

namespace freshgate {
namespace {

constexpr int kVirtualKeyF1 = 112;
// The shift state a key handler is given: Shift, Ctrl and Alt as bits.
constexpr int kShiftMask = 1;
constexpr int kCtrlMask = 2;
constexpr int kAltMask = 4;
constexpr int kTimerInterval = 2000;
constexpr int kIconKeyRole = Qt::UserRole + 1;

// Column widths, as laid out in twips at 15 twips a pixel.
constexpr int kTaskColumnWidth = 2000 / 15;
constexpr int kStatusColumnWidth = 3690 / 15;

int shiftState(Qt::KeyboardModifiers modifiers)
{
    return (modifiers & Qt::ShiftModifier ? kShiftMask : 0) |
           (modifiers & Qt::ControlModifier ? kCtrlMask : 0) |
           (modifiers & Qt::AltModifier ? kAltMask : 0);
}

// text broken into lines no wider than width in font, so a long reason reads as a paragraph
// the width of the window instead of one line past its edges.
QString wrappedToWidth(const QString &text, const QFont &font, int width)
{
    QStringList lines;
    for (const QString &paragraph : text.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines << paragraph.mid(line.textStart(), line.textLength()).trimmed();
        }
        layout.endLayout();
        if (paragraph.isEmpty()) {
            lines << QString();
        }
    }
    return lines.join(QLatin1Char('\n'));
}

// Rows only as tall as their 16-pixel icons need, as the list was laid out
// for: the four tasks then fit without a scroll bar.
class CompactRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(qMax(16, option.fontMetrics.height()));
        return size;
    }
};

} // namespace

Form1::Form1(SettingsStore &settings, QString appFolder, QString serverBase, QWidget *parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::Form1>()), m_settings(settings),
      m_appFolder(std::move(appFolder)),
      m_run(*this, m_settings, m_inet1, m_appFolder, std::move(serverBase))
{
    m_ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(402, 210);
    setWindowIcon(QIcon(QStringLiteral(":/icons/freshgate.xpm")));

    lstProgress()->setItemDelegate(new CompactRowDelegate(lstProgress()));
    lstProgress()->header()->setSectionsMovable(false);
    lstProgress()->header()->setStretchLastSection(false);
    lstProgress()->setColumnWidth(0, kTaskColumnWidth);
    lstProgress()->setColumnWidth(1, kStatusColumnWidth);

    // The headline stays readable even where a long text wraps onto the progress strip.
    Label1()->raise();
    describeForScreenReaders();

    m_timer1.setInterval(kTimerInterval);
    connect(&m_timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(Command1(), &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(lstProgress(), &QTreeWidget::itemSelectionChanged, this, &Form1::showSelectedRowTip);
    // The window sees keys wherever the focus is, before any control could take them.
    qApp->installEventFilter(this);
    // Finish is the window's default button: Return presses it once the run has armed it.
    Command1()->setDefault(true);
    for (const QKeyCombination key :
         {QKeyCombination(Qt::Key_Return), QKeyCombination(Qt::KeypadModifier, Qt::Key_Enter)}) {
        auto *press = new QShortcut(QKeySequence(key), this);
        press->setContext(Qt::WindowShortcut);
        connect(press, &QShortcut::activated, this, [this] {
            if (Command1()->isEnabled()) {
                Command1()->click();
            }
        });
    }

    Form_Load();
}

Form1::~Form1() = default;

void Form1::Form_Load()
{
    help().setHelpFilePath(QDir(m_appFolder).filePath(QStringLiteral("Orvane4.chm")));

    const StringLookup lookup = [](int id) { return LoadResString(id); };
    setWindowTitle(localizedWindowCaption(windowTitle(), lookup));
    for (QWidget *control : findChildren<QWidget *>()) {
        if (auto *label = qobject_cast<QLabel *>(control)) {
            label->setText(localizedControlCaption(label->text(), lookup));
        } else if (auto *button = qobject_cast<QAbstractButton *>(control)) {
            button->setText(localizedControlCaption(button->text(), lookup));
        }
    }

    const QString timeout = m_settings.read(SettingKey::HttpTimeout);
    m_inet1.setRequestTimeout(httpTimeoutSeconds(timeout));
    qCInfo(lcRun) << "HTTP timeout" << m_inet1.requestTimeout() << "s (setting" << timeout << ")";

    for (const char *task : kTaskNames) {
        auto *item = new QTreeWidgetItem(lstProgress(), {QLatin1String(task)});
        item->setIcon(0, listImage(RowIcon::ClosedFolder));
        item->setData(0, kIconKeyRole, imageKey(RowIcon::ClosedFolder));
        item->setText(1, LoadResString(StringId::Waiting));
    }

    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    move(screen.center() - rect().center());
}

void Form1::describeForScreenReaders()
{
    lstProgress()->setAccessibleName(QStringLiteral("Update tasks"));
    lstProgress()->setAccessibleDescription(
        QStringLiteral("Each part of Orvane4 that Freshgate updates, and what became of it"));
    progProgress()->setAccessibleName(QStringLiteral("Update progress"));
    progProgress()->setAccessibleDescription(
        QStringLiteral("How far Freshgate has come with this update"));
    Label1()->setAccessibleName(QStringLiteral("Headline"));
    labLabel()->setAccessibleName(QStringLiteral("Status"));
    labLabel()->setAccessibleDescription(
        QStringLiteral("What Freshgate is doing, or how the update ended"));
    Command1()->setAccessibleName(QStringLiteral("Finish"));
    Command1()->setAccessibleDescription(
        QStringLiteral("Closes Freshgate and starts Orvane4, or its set-up program"));
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto *widget = qobject_cast<QWidget *>(watched);
        const auto *key = static_cast<QKeyEvent *>(event);
        if (widget && widget->window() == this && key->key() == Qt::Key_F1) {
            Form_KeyDown(kVirtualKeyF1, shiftState(key->modifiers()));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::Form_KeyDown(int keyCode, int shift)
{
    // F1 asks for help whichever of Shift, Ctrl or Alt is held with it.
    Q_UNUSED(shift);
    if (keyCode != kVirtualKeyF1) {
        return;
    }
    help().setHelpTopic(QStringLiteral("freshgate.htm"));
    (void)help().ShowHelp();
}

void Form1::Timer1_Timer()
{
    m_timer1.stop();
    StartUpdate();
}

void Form1::StartUpdate()
{
    qCInfo(lcRun) << "update run starts";
    m_run.start();
    if (m_run.wasCancelled()) {
        QCoreApplication::quit();
    }
}

void Form1::Inet1_StateChanged(int State)
{
    Q_UNUSED(State);
    if (m_progress < 100) {
        setProgress(m_progress + 1);
    }
}

void Form1::Command1_Click()
{
    const std::optional<FinishMode> mode = finishMode();
    if (!mode) {
        return;
    }
    const ProductFolders &folders = m_run.folders();
    const QString program =
        *mode == FinishMode::RunSetup ? folders.setupProgram() : folders.productProgram();
    close();
    if (const Status started = startProgram(program, m_appFolder); started) {
        qCInfo(lcRun) << "started" << program;
        if (*mode == FinishMode::RunSetup) {
            m_run.recordSetupStarted();
        }
    } else {
        qCWarning(lcRun).noquote() << started.message();
    }
}

void Form1::ReEnable()
{
    setProgress(100);
    for (int index = 1; index <= kTaskRows; ++index) {
        // A component this run installed, or found up to date, did not fail: saying so
        // would send the user to reinstall what is already in place.
        const QString key = rowIconKey(index);
        if (key == imageKey(RowIcon::Save) || key == imageKey(RowIcon::Tick)) {
            continue;
        }
        setRow(index, RowIcon::Delete, StringId::UpdateFailed);
    }
    setExplanation(LoadResString(StringId::RunFailed));
    setFinishMode(FinishMode::RunProduct);
    Command1()->setEnabled(true);
}

void Form1::setRow(int index, RowIcon icon, StringId status)
{
    QTreeWidgetItem *item = row(index);
    item->setIcon(0, listImage(icon));
    item->setData(0, kIconKeyRole, imageKey(icon));
    item->setText(1, LoadResString(status));
}

void Form1::setRowStatus(int index, StringId status, const QString &detail)
{
    const QString text = LoadResString(status);
    row(index)->setText(1, detail.isEmpty() ? text : text + QLatin1Char(' ') + detail);
}

void Form1::setRowTip(int index, const QString &tip)
{
    QTreeWidgetItem *item = row(index);
    const QString wrapped = wrappedToWidth(tip, QToolTip::font(), width() - 16);
    item->setToolTip(0, wrapped);
    item->setToolTip(1, wrapped);
}

void Form1::showSelectedRowTip()
{
    const QList<QTreeWidgetItem *> selected = lstProgress()->selectedItems();
    if (selected.isEmpty() || selected.first()->toolTip(1).isEmpty()) {
        return;
    }
    const QRect rect = lstProgress()->visualItemRect(selected.first());
    QToolTip::showText(lstProgress()->viewport()->mapToGlobal(rect.bottomLeft()),
                       selected.first()->toolTip(1), lstProgress());
}

void Form1::setProgress(double value)
{
    m_progress = value;
    progProgress()->setValue(static_cast<int>(qBound(0.0, value, 100.0)));
}

void Form1::setExplanation(const QString &text)
{
    labLabel()->setText(text);
}

std::optional<FinishMode> Form1::finishMode() const
{
    return m_finishMode;
}

void Form1::setFinishMode(FinishMode mode)
{
    m_finishMode = mode;
}

QString Form1::finishTag() const
{
    if (!m_finishMode) {
        return {};
    }
    return *m_finishMode == FinishMode::RunSetup ? QStringLiteral("1") : QStringLiteral("0");
}

void Form1::setFinishTag(const QString &tag)
{
    // Compared as exact text: "00", " 0" and "" are no mode at all.
    if (tag == QLatin1String("0")) {
        m_finishMode = FinishMode::RunProduct;
    } else if (tag == QLatin1String("1")) {
        m_finishMode = FinishMode::RunSetup;
    } else {
        m_finishMode.reset();
    }
}

void Form1::enableFinish()
{
    Command1()->setEnabled(true);
    Command1()->setFocus();
}

void Form1::showWarning(const QString &text, const QString &explanation, const QString &details)
{
    // The first line as the product words it; then why, and what to do.
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok, this);
    box.setInformativeText(explanation);
    // Whoever the user sends this to can read the whole run in the log.
    box.setDetailedText(m_logPath.isEmpty()
                            ? details
                            : details + QStringLiteral("\n\nThe log of this run: ") +
                                  QDir::toNativeSeparators(m_logPath));
    box.exec();
}

QTreeWidget *Form1::lstProgress() const
{
    return m_ui->lstProgress;
}

QProgressBar *Form1::progProgress() const
{
    return m_ui->progProgress;
}

QLabel *Form1::Label1() const
{
    return m_ui->Label1;
}

QLabel *Form1::labLabel() const
{
    return m_ui->labLabel;
}

QPushButton *Form1::Command1() const
{
    return m_ui->Command1;
}

QString Form1::rowIconKey(int index) const
{
    return row(index)->data(0, kIconKeyRole).toString();
}

QIcon Form1::listImage(RowIcon icon)
{
    return QIcon(QStringLiteral(":/icons/%1.xpm").arg(imageKey(icon)));
}

void Form1::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        qCInfo(lcRun) << "window shown";
        m_timer1.start();
    }
}

void Form1::closeEvent(QCloseEvent *event)
{
    m_run.cancel();
    event->accept();
}

QTreeWidgetItem *Form1::row(int index) const
{
    Q_ASSERT(index >= 1 && index <= kTaskRows);
    return lstProgress()->topLevelItem(index - 1);
}

Help &Form1::help()
{
    if (!m_hHelp) {
        m_hHelp = std::make_unique<Help>();
    }
    return *m_hHelp;
}

} // namespace freshgate
