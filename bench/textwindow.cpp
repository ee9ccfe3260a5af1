// fg-bench-textwindow: start-up context, the least a Qt Widgets program does to show a window
// with the updater's kinds of widgets: a label, a two-column list with four rows, a progress
// bar and a button, all with text. Says "window shown" on standard error at its first show.

#include "ShownWindow.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ShownWindow window;
    window.setFixedSize(402, 210);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Updating the product")));
    auto *list = new QTreeWidget;
    list->setColumnCount(2);
    list->setRootIsDecorated(false);
    for (const char *task : {"Resource files", "Data files", "Help file", "Program files"})
        new QTreeWidgetItem(list, {QString::fromLatin1(task), QStringLiteral("Waiting...")});
    layout->addWidget(list);
    layout->addWidget(new QProgressBar);
    layout->addWidget(new QPushButton(QStringLiteral("Finish")));
    window.show();
    return QApplication::exec();
}
