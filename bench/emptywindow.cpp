// fg-bench-emptywindow: the start-up peer, the least a Qt Widgets program does to show a
// window. Says "window shown" on standard error at its first show, as the updater logs it.

#include "ShownWindow.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ShownWindow window;
    window.resize(402, 210);
    window.show();
    return QApplication::exec();
}
