// Exits 0 only when every part of the Windows toolchain works in one static
// program: the window shows on the Windows platform plugin, an HTTP fetch over
// loopback succeeds, Schannel is there for TLS, and libmspack, chmlib and
// libsodium link and answer.
#include <QApplication>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWindow>
#include <chm_lib.h>
#include <cstdio>
#include <mspack.h>
#include <sodium.h>

namespace {

int failures = 0;

void check(bool ok, const char *what)
{
    std::fprintf(stderr, "%s: %s\n", ok ? "ok" : "FAILED", what);
    std::fflush(stderr);
    if (!ok) {
        ++failures;
    }
}

void checkLibraries()
{
    check(sodium_init() >= 0, "libsodium initialises");
    unsigned char hash[crypto_generichash_BYTES];
    const unsigned char abc[] = {'a', 'b', 'c'};
    crypto_generichash(hash, sizeof hash, abc, sizeof abc, nullptr, 0);
    // BLAKE2b-256("abc") begins bddd813c.
    check(hash[0] == 0xbd && hash[1] == 0xdd && hash[2] == 0x81 && hash[3] == 0x3c,
          "libsodium hashes");

    mscab_decompressor *cab = mspack_create_cab_decompressor(nullptr);
    check(cab != nullptr, "libmspack makes a cabinet decompressor");
    if (cab) {
        char missing[] = "no-such-archive.cab";
        check(cab->open(cab, missing) == nullptr, "libmspack refuses a missing cabinet");
        mspack_destroy_cab_decompressor(cab);
    }

    // chmlib is built wide: chm_open takes a UTF-16 path.
    wchar_t missingHelp[] = L"C:\\no-such-help-\u00e9.chm";
    chmFile *chm = chm_open(missingHelp);
    check(chm == nullptr, "chmlib refuses a missing help file");
    if (chm) {
        chm_close(chm);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    check(QGuiApplication::platformName() == QLatin1String("windows"),
          "the Windows platform plugin runs the application");
    check(QSslSocket::availableBackends().contains(QLatin1String("schannel")),
          "the Schannel TLS backend is linked in");
    checkLibraries();

    QLabel window(QStringLiteral("Freshgate toolchain check"));
    window.resize(360, 120);
    window.show();

    // A one-shot HTTP server on loopback, so the fetch needs nothing outside.
    QTcpServer server;
    check(server.listen(QHostAddress::LocalHost), "listens on 127.0.0.1");
    QObject::connect(&server, &QTcpServer::newConnection, [&server] {
        QTcpSocket *peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, peer, [peer] {
            if (!peer->readAll().contains("\r\n\r\n")) {
                return;
            }
            peer->write("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello");
            peer->disconnectFromHost();
        });
    });

    QNetworkAccessManager network;
    QUrl url(QStringLiteral("http://127.0.0.1/smoke"));
    url.setPort(server.serverPort());
    QNetworkReply *reply = network.get(QNetworkRequest(url));
    QObject::connect(reply, &QNetworkReply::finished, &app, [&] {
        check(reply->error() == QNetworkReply::NoError && reply->readAll() == "hello",
              "fetches over HTTP");
        // Let the window be seen for a moment before judging it.
        QTimer::singleShot(800, &app, [&] {
            check(window.windowHandle() && window.windowHandle()->isExposed(),
                  "the window is shown");
            app.exit(failures == 0 ? 0 : 1);
        });
    });
    QTimer::singleShot(30000, &app, [&] {
        check(false, "finishes within 30 seconds");
        app.exit(2);
    });
    return app.exec();
}
