// fg-bench-download: one GetBinaryData download behind an open window, as the updater does it,
// or (with --idle) the same window with nothing downloaded, for the memory baseline.
//
//   fg-bench-download [--idle] URL FILE
//
// Prints "bench: download_ms=..." (the getBinaryData() call alone, request to renamed file),
// "bench: bytes=..." and "bench: notifications=..." (state changes the window received).
// Exit status 0 when the download succeeded (or, idle, when the window was shown).

#include "transfer/HttpTransfer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments().mid(1);
    const bool idle = args.removeAll(QStringLiteral("--idle")) > 0;
    if (args.size() != 2) {
        std::fputs("usage: fg-bench-download [--idle] URL FILE\n", stderr);
        return 2;
    }

    // The updater's window in miniature: a bar that every transfer notification moves.
    QWidget window;
    window.setFixedSize(402, 210);
    auto *bar = new QProgressBar(&window);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(bar);
    freshgate::HttpTransfer transfer;
    int notifications = 0;
    QObject::connect(&transfer, &freshgate::HttpTransfer::stateChanged, bar, [&] {
        ++notifications;
        bar->setValue((bar->value() + 1) % 100);
    });
    window.show();

    int status = 1;
    QTimer::singleShot(0, &window, [&] {
        if (idle) {
            // Long enough for the window to be exposed and painted.
            QTimer::singleShot(300, &app, [&] {
                status = 0;
                QApplication::quit();
            });
            return;
        }
        QElapsedTimer clock;
        clock.start();
        const freshgate::Result<qint64> fetched = transfer.getBinaryData(args.at(0), args.at(1));
        const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        const qint64 bytes = fetched ? *fetched : 0;
        std::printf("bench: download_ms=%.3f\nbench: bytes=%lld\nbench: notifications=%d\n", ms,
                    static_cast<long long>(bytes), notifications);
        if (bytes <= 0)
            std::fprintf(stderr, "download failed: %s\n", qPrintable(fetched.message()));
        std::fflush(stdout);
        status = bytes > 0 ? 0 : 1;
        QApplication::quit();
    });
    QApplication::exec();
    return status;
}
