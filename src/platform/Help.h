#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QWidget;

namespace freshgate {

class HelpWindow;

// The maker's help object: a help file path, a topic, and ShowHelp to show that topic from
// the compiled help file in a small window of its own. GUI thread only. The help window is
// created on the first successful ShowHelp, owned by this object, and never keeps the
// application running once the main window has closed.
class Help : public QObject {
    Q_OBJECT

public:
    // ShowHelp results; the caller is free to ignore them.
    static constexpr int kShown = 0;
    static constexpr int kHelpFileMissing = 1;  // no path set, or no such file
    static constexpr int kTopicUnavailable = 2; // the file is unreadable or lacks the page

    explicit Help(QObject *parent = nullptr);
    ~Help() override;

    void setHelpFilePath(const QString &path);
    void setHelpTopic(const QString &topic);
    [[nodiscard]] QString helpFilePath() const { return m_filePath; }
    [[nodiscard]] QString helpTopic() const { return m_topic; }

    // Opens the help window at the current topic, or raises it and moves it there. When the
    // file or the page cannot be read nothing is shown (an open window keeps its page), the
    // reason goes to the diagnostic log, and the result says which.
    int ShowHelp();

    // The help window, or nullptr while it has never been shown.
    [[nodiscard]] QWidget *window() const;

private:
    QString m_filePath;
    QString m_topic;
    std::unique_ptr<HelpWindow> m_window;
};

} // namespace freshgate
