#pragma once

// The start-up peers' window: says "window shown" on standard error at its first
// show, as the updater logs it, so fg-measure times both the same way.

#include <QWidget>
#include <cstdio>

class ShownWindow : public QWidget {
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
