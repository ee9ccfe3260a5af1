// fg-bench-emptywindow: the start-up peer, the least a Qt Widgets program does to show a
// window. Says "window shown" on standard error at its first show, as the updater logs it.

#include <QApplication>
#include <QWidget>
#include <cstdio>

namespace {

class EmptyWindow : public QWidget {
protected:
    void showEvent(QShowEvent *event) override
    {
        QWidget::showEvent(event);
        if (!m_shown) {
            m_shown = true;
            std::fputs("window shown\n", stderr);
        }
    }

private:
    bool m_shown = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    EmptyWindow window;
    window.resize(402, 210);
    window.show();
    return QApplication::exec();
}
