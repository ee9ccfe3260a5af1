#include "platform/ChmFile.h"
#include "platform/Help.h"
#include "support/ChmBuilder.h"
#include "support/Files.h"

#include <QApplication>
#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

using freshgate::ChmFile;
using freshgate::Help;

namespace {

using Pages = freshgate::test::ChmPages;
using freshgate::test::buildChm;
using freshgate::test::writeFile;

QByteArray page(const QByteArray &title, const QByteArray &body)
{
    return freshgate::test::chmPage(title, body);
}

// A page far larger than one compressed block, so reading it crosses block boundaries.
QByteArray bigPage()
{
    QByteArray body;
    quint32 x = 12345;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1103515245u + 12345u;
        body += "<p>line " + QByteArray::number(i) + " " + QByteArray::number(x, 16) + "</p>\n";
    }
    return page("Big", body);
}

QByteArray magentaPng()
{
    QImage image(24, 24, QImage::Format_RGB32);
    image.fill(QColor(255, 0, 255));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

QTextBrowser *browserOf(const Help &help)
{
    return help.window() ? help.window()->findChild<QTextBrowser *>() : nullptr;
}

int visibleTopLevels()
{
    int count = 0;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        count += w->isVisible() ? 1 : 0;
    }
    return count;
}

// Whether the browser draws the help file's picture (a 24 x 24 magenta square).
bool showsPicture(QTextBrowser *browser)
{
    const QImage shot = browser->viewport()->grab().toImage();
    int magenta = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            magenta += shot.pixelColor(x, y) == QColor(255, 0, 255) ? 1 : 0;
        }
    }
    return magenta >= 24 * 24 / 2;
}

// Clicks the link whose text is linkText the way a user would, on the viewport.
bool clickLink(QTextBrowser *browser, const QString &linkText)
{
    const QTextCursor found = browser->document()->find(linkText);
    if (found.isNull()) {
        return false;
    }
    QTextCursor middle(browser->document());
    middle.setPosition((found.selectionStart() + found.selectionEnd()) / 2);
    const QRect rect = browser->cursorRect(middle);
    const QPoint point(rect.center().x(), rect.center().y());
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, point);
    return true;
}

} // namespace

class TestHelp : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void readObject_data();
    void readObject();
    void showHelpShowsTopicWithPictures();
    void showHelpReusesWindowAndFollowsLinks();
    void showHelpRereadsReplacedFile();
    void helpWindowLetsApplicationEnd();
    void showHelpRefuses_data();
    void showHelpRefuses();
    void icons_data();
    void icons();

private:
    QTemporaryDir m_dir;
    Pages m_pages;
    QMap<QString, QString> m_files; // role -> path
};

void TestHelp::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("chmcmd")).isEmpty(),
             "chmcmd (fp-utils) is needed to build the help files these tests read");
    QVERIFY(m_dir.isValid());

    m_pages = {
        {QStringLiteral("freshgate.htm"),
         page("Freshgate help", "<p>Freshgate keeps Orvane4 fresh.</p>"
                                "<p><img src=\"images/dot.png\"></p>"
                                "<p><a href=\"sub/deep.htm\">Read the details</a></p>")},
        {QStringLiteral("other.htm"),
         page("Other page",
              "<p>A second topic about cabinets.</p>"
              "<p><a href=\"ms-its:Orvane4.chm::/freshgate.htm#top\">Back home</a></p>")},
        {QStringLiteral("sub/deep.htm"),
         page("Deep page", "<p>Details live one folder down.</p>"
                           "<p><img src=\"../images/dot.png\"></p>"
                           "<p><a href=\"../other.htm\">Up and over</a></p>")},
        {QStringLiteral("notitle.htm"), "<html><body><p>No title here.</p></body></html>"},
        {QStringLiteral("big.htm"), bigPage()},
        {QStringLiteral("images/dot.png"), magentaPng()},
    };
    const QString good =
        buildChm(m_dir.filePath(QStringLiteral("good")), QStringLiteral("Orvane4.chm"), m_pages);
    QVERIFY(!good.isEmpty());
    m_files[QStringLiteral("good")] = good;

    QFile chm(good);
    QVERIFY(chm.open(QIODevice::ReadOnly));
    const QByteArray whole = chm.readAll();
    QVERIFY(whole.size() > 2000);

    const auto bad = [this](const QString &role, const QByteArray &bytes) {
        const QString path = m_dir.filePath(role + QStringLiteral(".chm"));
        m_files[role] = path;
        return writeFile(path, bytes);
    };
    QVERIFY(bad(QStringLiteral("empty"), {}));
    QVERIFY(bad(QStringLiteral("text"), "This is not a help file at all.\n"));
    QVERIFY(bad(QStringLiteral("header only"), whole.left(0x60)));
    QVERIFY(bad(QStringLiteral("truncated"), whole.left(whole.size() / 2)));
    QByteArray zeroedTail = whole;
    std::fill(zeroedTail.begin() + zeroedTail.size() / 3, zeroedTail.end(), '\0');
    QVERIFY(bad(QStringLiteral("zeroed tail"), zeroedTail));
    m_files[QStringLiteral("missing")] = m_dir.filePath(QStringLiteral("nowhere/Orvane4.chm"));
    m_files[QStringLiteral("folder")] = m_dir.path();
    m_files[QStringLiteral("unset")] = QString();
}

void TestHelp::cleanup()
{
    // Each test owns its Help; make sure no window outlived it.
    QCOMPARE(visibleTopLevels(), 0);
}

void TestHelp::readObject_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected"); // page whose bytes come back; empty: nothing

    const QString good = QStringLiteral("good");
    QTest::newRow("topic") << good << "freshgate.htm"
                           << "freshgate.htm";
    QTest::newRow("rooted name") << good << "/other.htm"
                                 << "other.htm";
    QTest::newRow("backslashes") << good << "sub\\deep.htm"
                                 << "sub/deep.htm";
    QTest::newRow("anchor ignored") << good << "other.htm#cabinets"
                                    << "other.htm";
    QTest::newRow("picture") << good << "images/dot.png"
                             << "images/dot.png";
    QTest::newRow("many blocks") << good << "big.htm"
                                 << "big.htm";
    QTest::newRow("missing page") << good << "nothere.htm" << QString();
    QTest::newRow("empty name") << good << "" << QString();
    QTest::newRow("folder name") << good << "images/" << QString();
    QTest::newRow("overlong name") << good << QString(600, QLatin1Char('a')) << QString();
    for (const char *role : {"missing", "folder", "unset", "empty", "text", "header only",
                             "truncated", "zeroed tail"}) {
        QTest::newRow(role) << QString::fromLatin1(role) << "freshgate.htm" << QString();
    }
}

void TestHelp::readObject()
{
    QFETCH(QString, file);
    QFETCH(QString, name);
    QFETCH(QString, expected);

    const freshgate::Result<QByteArray> got = ChmFile::readObject(m_files.value(file), name);
    if (expected.isEmpty()) {
        QVERIFY(!got.ok());
        QVERIFY(!got.message().isEmpty());
    } else {
        QVERIFY2(got.ok(), qPrintable(got.message()));
        QCOMPARE(*got, m_pages.value(expected));
    }
}

void TestHelp::showHelpShowsTopicWithPictures()
{
    Help help;
    QCOMPARE(help.window(), nullptr);
    help.setHelpFilePath(m_files.value(QStringLiteral("good")));
    help.setHelpTopic(QStringLiteral("freshgate.htm"));
    QCOMPARE(help.ShowHelp(), Help::kShown);

    QWidget *window = help.window();
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QVERIFY(window->isWindow());
    QCOMPARE(window->windowTitle(), QStringLiteral("Freshgate help"));
    QTextBrowser *browser = browserOf(help);
    QVERIFY(browser);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Freshgate keeps Orvane4 fresh.")));

    // The picture comes out of the same help file: it is drawn in the page.
    QVERIFY(showsPicture(browser));

    // A page without a title is named by its file.
    help.setHelpTopic(QStringLiteral("notitle.htm"));
    QCOMPARE(help.ShowHelp(), Help::kShown);
    QCOMPARE(window->windowTitle(), QStringLiteral("notitle.htm"));
}

void TestHelp::showHelpReusesWindowAndFollowsLinks()
{
    Help help;
    help.setHelpFilePath(m_files.value(QStringLiteral("good")));
    help.setHelpTopic(QStringLiteral("freshgate.htm"));
    QCOMPARE(help.ShowHelp(), Help::kShown);
    QWidget *window = help.window();
    QTextBrowser *browser = browserOf(help);
    QVERIFY(browser);

    help.setHelpTopic(QStringLiteral("other.htm"));
    QCOMPARE(help.ShowHelp(), Help::kShown);
    QCOMPARE(help.window(), window);
    QCOMPARE(browserOf(help), browser);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("A second topic about cabinets.")));
    QVERIFY(!browser->toPlainText().contains(QStringLiteral("Orvane4 fresh")));
    QCOMPARE(window->windowTitle(), QStringLiteral("Other page"));
    QCOMPARE(visibleTopLevels(), 1);

    // A topic that is not there leaves the open window on its page.
    help.setHelpTopic(QStringLiteral("nothere.htm"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("nothere")));
    QCOMPARE(help.ShowHelp(), Help::kTopicUnavailable);
    QCOMPARE(help.window(), window);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("A second topic")));

    // Links inside the help file lead to its other pages: Windows style, into a folder, back up.
    QVERIFY(clickLink(browser, QStringLiteral("Back home")));
    QTRY_VERIFY(browser->toPlainText().contains(QStringLiteral("Orvane4 fresh")));
    QVERIFY(clickLink(browser, QStringLiteral("Read the details")));
    QTRY_VERIFY(browser->toPlainText().contains(QStringLiteral("one folder down")));
    QCOMPARE(window->windowTitle(), QStringLiteral("Deep page"));
    QVERIFY(showsPicture(browser)); // "../images/dot.png" from inside the folder
    QVERIFY(clickLink(browser, QStringLiteral("Up and over")));
    QTRY_VERIFY(browser->toPlainText().contains(QStringLiteral("A second topic")));

    // A window the user closed comes back on the next F1.
    window->close();
    QVERIFY(!window->isVisible());
    help.setHelpTopic(QStringLiteral("freshgate.htm"));
    QCOMPARE(help.ShowHelp(), Help::kShown);
    QVERIFY(window->isVisible());
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Orvane4 fresh")));
}

void TestHelp::showHelpRereadsReplacedFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Pages pages = {{QStringLiteral("freshgate.htm"), page("Help", "<p>First edition.</p>")}};
    const QString chm =
        buildChm(dir.filePath(QStringLiteral("v1")), QStringLiteral("Orvane4.chm"), pages);
    QVERIFY(!chm.isEmpty());

    Help help;
    help.setHelpFilePath(chm);
    help.setHelpTopic(QStringLiteral("freshgate.htm"));
    QCOMPARE(help.ShowHelp(), Help::kShown);
    QTextBrowser *browser = browserOf(help);
    QVERIFY(browser);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("First edition.")));

    // The update installs a new help file under the same name while the window is open.
    pages[QStringLiteral("freshgate.htm")] = page("Help", "<p>Second edition.</p>");
    const QString newer =
        buildChm(dir.filePath(QStringLiteral("v2")), QStringLiteral("Orvane4.chm"), pages);
    QVERIFY(!newer.isEmpty());
    QVERIFY(QFile::remove(chm));
    QVERIFY(QFile::rename(newer, chm));

    QCOMPARE(help.ShowHelp(), Help::kShown);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Second edition.")));
}

void TestHelp::helpWindowLetsApplicationEnd()
{
    QWidget main;
    main.show();
    Help help;
    help.setHelpFilePath(m_files.value(QStringLiteral("good")));
    help.setHelpTopic(QStringLiteral("freshgate.htm"));
    QCOMPARE(help.ShowHelp(), Help::kShown);
    QVERIFY(help.window()->isVisible());

    // The process ends with the updater's own window even while help is open.
    QTimer stuck;
    stuck.setSingleShot(true);
    connect(&stuck, &QTimer::timeout, qApp, [] { QCoreApplication::exit(2); });
    stuck.start(5000);
    QTimer::singleShot(0, &main, &QWidget::close);
    QCOMPARE(QApplication::exec(), 0);
    help.window()->close();
}

void TestHelp::showHelpRefuses_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<int>("result");

    QTest::newRow("no help file set") << "unset"
                                      << "freshgate.htm" << Help::kHelpFileMissing;
    QTest::newRow("help file missing") << "missing"
                                       << "freshgate.htm" << Help::kHelpFileMissing;
    QTest::newRow("folder, not a file") << "folder"
                                        << "freshgate.htm" << Help::kHelpFileMissing;
    QTest::newRow("topic missing") << "good"
                                   << "nothere.htm" << Help::kTopicUnavailable;
    QTest::newRow("no topic set") << "good" << QString() << Help::kTopicUnavailable;
    for (const char *role : {"empty", "text", "header only", "truncated", "zeroed tail"}) {
        QTest::newRow(role) << QString::fromLatin1(role) << "freshgate.htm"
                            << Help::kTopicUnavailable;
    }
}

void TestHelp::showHelpRefuses()
{
    QFETCH(QString, file);
    QFETCH(QString, topic);
    QFETCH(int, result);

    Help help;
    help.setHelpFilePath(m_files.value(file));
    help.setHelpTopic(topic);
    // Each refusal says why in the diagnostic log.
    for (int i = 0; i < 2; ++i) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".+")));
        QCOMPARE(help.ShowHelp(), result);
    }
    QCOMPARE(help.window(), nullptr);
    QCOMPARE(visibleTopLevels(), 0);
}

void TestHelp::icons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    for (const char *name : {"downloading", "tick", "closedfolder", "save", "delete"}) {
        QTest::newRow(name) << QString::fromLatin1(name) << 16;
    }
    QTest::newRow("freshgate") << QStringLiteral("freshgate") << 32;
}

void TestHelp::icons()
{
    QFETCH(QString, name);
    QFETCH(int, size);

    const QImage image(QStringLiteral(":/icons/%1.xpm").arg(name));
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(size, size));
    QVERIFY(image.hasAlphaChannel());
    int clear = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            clear += qAlpha(image.pixel(x, y)) == 0 ? 1 : 0;
        }
    }
    // A drawing on a transparent ground: neither blank nor a filled square.
    QVERIFY2(clear > size * size / 5 && clear < size * size * 9 / 10,
             qPrintable(QString::number(clear)));
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
}

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
