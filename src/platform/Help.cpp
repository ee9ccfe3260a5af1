#include "platform/Help.h"

#include "platform/ChmFile.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QKeySequence>
#include <QLoggingCategory>
#include <QShortcut>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

namespace freshgate {

namespace {

Q_LOGGING_CATEGORY(lcHelp, "freshgate.help")

const QString kChmScheme = QStringLiteral("chm");

// Pages inside the help file are addressed as chm:/page.htm, so that QTextBrowser resolves
// relative links and pictures against the page they appear on.
QUrl topicUrl(const QString &topic)
{
    QString page = topic.trimmed();
    QString fragment;
    const qsizetype hash = page.indexOf(QLatin1Char('#'));
    if (hash >= 0) {
        fragment = page.mid(hash + 1);
        page.truncate(hash);
    }
    QUrl url;
    url.setScheme(kChmScheme);
    url.setPath(QString::fromUtf8(ChmFile::objectPath(page)), QUrl::DecodedMode);
    if (!fragment.isEmpty()) {
        url.setFragment(fragment, QUrl::DecodedMode);
    }
    return url;
}

// Help authors link between pages with the Windows forms "ms-its:File.chm::/page.htm" and
// "mk:@MSITStore:File.chm::/page.htm"; both name a page of this same file here.
QUrl inFileUrl(const QUrl &url)
{
    if (url.scheme() == kChmScheme) {
        return url;
    }
    const QString text = url.path(QUrl::FullyDecoded);
    const qsizetype separator = text.indexOf(QStringLiteral("::"));
    const QString scheme = url.scheme().toLower();
    if (separator < 0 || (scheme != QLatin1String("ms-its") && scheme != QLatin1String("mk"))) {
        return {};
    }
    QUrl page = topicUrl(text.mid(separator + 2));
    if (url.hasFragment()) {
        page.setFragment(url.fragment(QUrl::FullyDecoded), QUrl::DecodedMode);
    }
    return page;
}

class ChmBrowser : public QTextBrowser {
public:
    explicit ChmBrowser(QWidget *parent) : QTextBrowser(parent)
    {
        // Links are followed here, so a page can never send the browser to the local disk.
        setOpenLinks(false);
        connect(this, &QTextBrowser::anchorClicked, this, &ChmBrowser::follow);
    }

    void showTopic(const QString &chmPath, const QUrl &url)
    {
        m_chmPath = chmPath;
        // Same page again: load it afresh, the update may have replaced the help file.
        if (source().adjusted(QUrl::RemoveFragment) == url.adjusted(QUrl::RemoveFragment)) {
            reload();
        }
        if (source() != url) {
            setSource(url);
        }
    }

    QVariant loadResource(int type, const QUrl &name) override
    {
        Q_UNUSED(type)
        const QUrl url = inFileUrl(name.isRelative() ? source().resolved(name) : name);
        if (!url.isValid()) {
            return {};
        }
        Result<QByteArray> object = ChmFile::readObject(m_chmPath, url.path(QUrl::FullyDecoded));
        if (!object) {
            qCDebug(lcHelp).noquote() << object.message();
            return {};
        }
        return std::move(object).value();
    }

private:
    void follow(const QUrl &link)
    {
        const QUrl inFile = inFileUrl(link);
        if (inFile.isValid()) {
            setSource(inFile);
            return;
        }
        const QString scheme = link.scheme().toLower();
        if (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
            scheme == QLatin1String("mailto")) {
            QDesktopServices::openUrl(link);
        } else {
            qCDebug(lcHelp) << "link not followed:" << link;
        }
    }

    QString m_chmPath;
};

} // namespace

class HelpWindow : public QWidget {
public:
    HelpWindow()
    {
        setAttribute(Qt::WA_QuitOnClose, false);
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        m_browser = new ChmBrowser(this);
        layout->addWidget(m_browser);
        resize(560, 420);
        auto *close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
        connect(close, &QShortcut::activated, this, &QWidget::close);
        connect(m_browser, &QTextBrowser::sourceChanged, this, &HelpWindow::updateTitle);
    }

    void showTopic(const QString &chmPath, const QString &topic)
    {
        m_browser->showTopic(chmPath, topicUrl(topic));
        updateTitle();
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show();
        raise();
        activateWindow();
    }

private:
    void updateTitle()
    {
        const QString title = m_browser->documentTitle().simplified();
        if (!title.isEmpty()) {
            setWindowTitle(title);
        } else {
            setWindowTitle(QFileInfo(m_browser->source().path()).fileName());
        }
    }

    ChmBrowser *m_browser = nullptr;
};

Help::Help(QObject *parent) : QObject(parent) {}

Help::~Help() = default;

void Help::setHelpFilePath(const QString &path)
{
    m_filePath = path;
}

void Help::setHelpTopic(const QString &topic)
{
    m_topic = topic;
}

QWidget *Help::window() const
{
    return m_window.get();
}

int Help::ShowHelp()
{
    if (m_filePath.isEmpty() || !QFileInfo(m_filePath).isFile()) {
        qCWarning(lcHelp).noquote() << "no help file at" << m_filePath;
        return kHelpFileMissing;
    }
    if (const Result<QByteArray> page = ChmFile::readObject(m_filePath, m_topic); !page) {
        qCWarning(lcHelp).noquote() << "help not shown:" << page.message();
        return kTopicUnavailable;
    }
    if (!m_window) {
        m_window = std::make_unique<HelpWindow>();
    }
    m_window->showTopic(m_filePath, m_topic);
    return kShown;
}

} // namespace freshgate
