#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

class QTcpServer;
class QTcpSocket;

namespace freshgate::test {

// One canned answer, including the faulty ones a real server cannot be made to give on demand.
struct ScriptedResponse {
    enum class Mode {
        Complete,         // status line, headers, whole body; the connection stays open
        DropAfter,        // announces the whole body, sends dropAfterBytes of it, then closes
        Stall,            // reads the request and never answers
        HeadersThenStall, // sends the headers, then nothing
        Endless,          // no length, body bytes for as long as the client reads
        Trickle,          // headers, then trickleBytes every trickleIntervalMs, never ending
        Paced,            // headers, then the body trickleBytes every trickleIntervalMs, to its end
    };

    Mode mode = Mode::Complete;
    int status = 200;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // Announced instead of body.size() when set; -1 sends no length and closes after the body.
    std::optional<qint64> contentLength;
    qint64 dropAfterBytes = 0;
    qint64 trickleBytes = 16;
    int trickleIntervalMs = 50;
    // When set, answers only a request whose Range header is exactly this ("" for none), and
    // stays expected after answering: for a server whose answer depends on what is asked.
    std::optional<QByteArray> forRange;

    static ScriptedResponse ok(QByteArray body);
    static ScriptedResponse withStatus(int status, QByteArray body = {});
    static ScriptedResponse redirect(int status, const QString &location);
    static ScriptedResponse dropAfter(QByteArray body, qint64 bytes);
    static ScriptedResponse stall();
    static ScriptedResponse headersThenStall(qint64 announcedLength);
    static ScriptedResponse endless();
    static ScriptedResponse trickle(qint64 announcedLength);
    // The whole body, chunkBytes at a time every intervalMs: a slow but healthy server.
    static ScriptedResponse paced(QByteArray body, qint64 chunkBytes, int intervalMs);
};

// An HTTP/1.1 server on 127.0.0.1 that answers only the requests a test expects, each once, in
// any order, and records every request that arrives. A request nobody expected gets a 404, is
// kept in unexpectedRequests() and fails the running test at once, so no test can forget to
// prove what was NOT fetched.
// Lives on the thread that creates it and serves whenever that thread runs an event loop (a
// waiting transfer does); every write is paced by the socket, so no body can block it.
class ScriptedServer : public QObject {
    Q_OBJECT

public:
    struct Request {
        QByteArray method;
        QByteArray target; // as sent: "/path", or "http://host/path" through a proxy
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray header(const QByteArray &name) const;
    };

    explicit ScriptedServer(QObject *parent = nullptr);
    ~ScriptedServer() override;

    bool isListening() const;
    quint16 port() const;
    QString url(const QString &path) const; // "http://127.0.0.1:PORT/path"

    // Answers one request for method and target (the path, or an absolute URL for a proxy).
    void expect(const QByteArray &method, const QByteArray &target, ScriptedResponse response);

    QList<Request> requests() const { return m_requests; }
    QList<Request> unexpectedRequests() const { return m_unexpected; }
    // "METHOD target" of every expectation that no request used.
    QStringList unmetExpectations() const;
    bool wasRequested(const QByteArray &target) const;
    // Connections closed by the client or by a drop so far.
    int closedConnections() const { return m_closed; }

private:
    struct Expectation {
        QByteArray method;
        QByteArray target;
        ScriptedResponse response;
    };
    class Connection;

    void accept();
    std::optional<ScriptedResponse> take(const Request &request);
    void reportUnexpected(const Request &request);

    QTcpServer *m_server;
    QList<Expectation> m_expected;
    QList<Request> m_requests;
    QList<Request> m_unexpected;
    // Unexpected requests that came while no test function ran, failed on destruction instead.
    QStringList m_unreported;
    int m_closed = 0;
};

} // namespace freshgate::test
