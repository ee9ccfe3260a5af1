#include "support/ScriptedServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace freshgate::test {

namespace {

constexpr qint64 kEndlessBlockBytes = qint64{64} * 1024;
constexpr qint64 kEndlessBacklogBytes = qint64{256} * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

ScriptedResponse ScriptedResponse::ok(QByteArray body)
{
    return withStatus(200, std::move(body));
}

ScriptedResponse ScriptedResponse::withStatus(int status, QByteArray body)
{
    ScriptedResponse r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

ScriptedResponse ScriptedResponse::redirect(int status, const QString &location)
{
    ScriptedResponse r = withStatus(status);
    r.headers.append({"Location", location.toUtf8()});
    return r;
}

ScriptedResponse ScriptedResponse::dropAfter(QByteArray body, qint64 bytes)
{
    ScriptedResponse r = ok(std::move(body));
    r.mode = Mode::DropAfter;
    r.dropAfterBytes = bytes;
    return r;
}

ScriptedResponse ScriptedResponse::stall()
{
    ScriptedResponse r;
    r.mode = Mode::Stall;
    return r;
}

ScriptedResponse ScriptedResponse::headersThenStall(qint64 announcedLength)
{
    ScriptedResponse r;
    r.mode = Mode::HeadersThenStall;
    r.contentLength = announcedLength;
    return r;
}

ScriptedResponse ScriptedResponse::endless()
{
    ScriptedResponse r;
    r.mode = Mode::Endless;
    return r;
}

ScriptedResponse ScriptedResponse::trickle(qint64 announcedLength)
{
    ScriptedResponse r;
    r.mode = Mode::Trickle;
    r.contentLength = announcedLength;
    return r;
}

ScriptedResponse ScriptedResponse::paced(QByteArray body, qint64 chunkBytes, int intervalMs)
{
    ScriptedResponse r = ok(std::move(body));
    r.mode = Mode::Paced;
    r.trickleBytes = chunkBytes;
    r.trickleIntervalMs = intervalMs;
    return r;
}

QByteArray ScriptedServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

// One client connection: parses requests as they arrive and plays the matching answers.
class ScriptedServer::Connection : public QObject {
public:
    Connection(ScriptedServer *server, QTcpSocket *socket)
        : QObject(server), m_server(server), m_socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readRequests);
        connect(socket, &QTcpSocket::bytesWritten, this, &Connection::feedEndless);
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            ++m_server->m_closed;
            deleteLater();
        });
    }

    // The socket dies with this object and may still report its disconnection then.
    ~Connection() override { m_socket->disconnect(this); }

private:
    void readRequests()
    {
        m_input += m_socket->readAll();
        while (!m_busy) {
            const qsizetype end = m_input.indexOf("\r\n\r\n");
            if (end < 0) {
                return;
            }
            const QList<QByteArray> lines = m_input.left(end).split('\n');
            m_input.remove(0, end + 4);
            Request request;
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0) {
                    request.headers.append(
                        {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
                }
            }
            // A request body is never asked for here; skip one if it is sent.
            m_input.remove(0, request.header("Content-Length").toLongLong());
            m_server->m_requests.append(request);
            if (std::optional<ScriptedResponse> response = m_server->take(request)) {
                answer(*response);
            } else {
                m_server->reportUnexpected(request);
                m_socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                "Connection: close\r\n\r\n");
                m_socket->disconnectFromHost();
                m_busy = true;
            }
        }
    }

    QByteArray head(const ScriptedResponse &r, std::optional<qint64> length) const
    {
        QByteArray out =
            "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reasonPhrase(r.status) + "\r\n";
        for (const auto &[name, value] : r.headers) {
            out += name + ": " + value + "\r\n";
        }
        if (length) {
            out += "Content-Length: " + QByteArray::number(*length) + "\r\n";
        } else {
            out += "Connection: close\r\n";
        }
        return out + "\r\n";
    }

    void answer(const ScriptedResponse &r)
    {
        const qint64 announced = r.contentLength.value_or(r.body.size());
        switch (r.mode) {
        case ScriptedResponse::Mode::Complete:
            if (announced >= 0) {
                m_socket->write(head(r, announced) + r.body);
                return;
            }
            m_socket->write(head(r, std::nullopt) + r.body);
            m_socket->disconnectFromHost();
            break;
        case ScriptedResponse::Mode::DropAfter:
            m_socket->write(head(r, announced) + r.body.left(r.dropAfterBytes));
            m_socket->disconnectFromHost();
            break;
        case ScriptedResponse::Mode::Stall:
            break;
        case ScriptedResponse::Mode::HeadersThenStall:
            m_socket->write(head(r, announced));
            break;
        case ScriptedResponse::Mode::Endless:
            m_socket->write(head(r, std::nullopt));
            m_endless = true;
            feedEndless();
            break;
        case ScriptedResponse::Mode::Trickle: {
            m_socket->write(head(r, announced));
            auto *timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this,
                    [this, bytes = r.trickleBytes] { m_socket->write(QByteArray(bytes, 'x')); });
            timer->start(r.trickleIntervalMs);
            break;
        }
        case ScriptedResponse::Mode::Paced: {
            m_socket->write(head(r, announced));
            auto *timer = new QTimer(this);
            connect(
                timer, &QTimer::timeout, this,
                [this, timer, body = r.body, bytes = r.trickleBytes, sent = qint64{0}]() mutable {
                    m_socket->write(body.mid(sent, bytes));
                    sent += bytes;
                    if (sent >= body.size()) {
                        timer->stop();
                    }
                });
            timer->start(r.trickleIntervalMs);
            // A paced answer is a whole answer: the connection may serve the next request.
            return;
        }
        }
        // Everything but a complete answer ends what this connection can serve.
        m_busy = true;
    }

    void feedEndless()
    {
        if (!m_endless || m_socket->state() != QAbstractSocket::ConnectedState) {
            return;
        }
        while (m_socket->bytesToWrite() < kEndlessBacklogBytes) {
            if (m_socket->write(QByteArray(kEndlessBlockBytes, 'e')) < 0) {
                return;
            }
        }
    }

    ScriptedServer *m_server;
    QTcpSocket *m_socket;
    QByteArray m_input;
    bool m_busy = false;
    bool m_endless = false;
};

ScriptedServer::ScriptedServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &ScriptedServer::accept);
    m_server->listen(QHostAddress::LocalHost, 0);
}

ScriptedServer::~ScriptedServer()
{
    if (!m_unreported.isEmpty() && QTest::runningTest() && !QTest::currentTestFailed()) {
        const QByteArray message =
            "requests nobody expected came: " + m_unreported.join(QStringLiteral(", ")).toUtf8();
        QTest::qFail(message.constData(), __FILE__, __LINE__);
    }
}

bool ScriptedServer::isListening() const
{
    return m_server->isListening();
}

quint16 ScriptedServer::port() const
{
    return m_server->serverPort();
}

QString ScriptedServer::url(const QString &path) const
{
    const QString tail = path.startsWith(QLatin1Char('/')) ? path.mid(1) : path;
    return QStringLiteral("http://127.0.0.1:%1/%2").arg(port()).arg(tail);
}

void ScriptedServer::expect(const QByteArray &method, const QByteArray &target,
                            ScriptedResponse response)
{
    m_expected.append({method, target, std::move(response)});
}

QStringList ScriptedServer::unmetExpectations() const
{
    QStringList out;
    for (const Expectation &e : m_expected) {
        out << QString::fromLatin1(e.method + ' ' + e.target);
    }
    return out;
}

bool ScriptedServer::wasRequested(const QByteArray &target) const
{
    for (const Request &r : m_requests) {
        if (r.target == target) {
            return true;
        }
    }
    return false;
}

void ScriptedServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        new Connection(this, socket);
    }
}

std::optional<ScriptedResponse> ScriptedServer::take(const Request &request)
{
    for (qsizetype i = 0; i < m_expected.size(); ++i) {
        const Expectation &e = m_expected[i];
        if (e.method != request.method || e.target != request.target) {
            continue;
        }
        if (e.response.forRange) {
            if (request.header("Range") == *e.response.forRange) {
                return e.response;
            }
            continue;
        }
        return m_expected.takeAt(i).response;
    }
    return std::nullopt;
}

void ScriptedServer::reportUnexpected(const Request &request)
{
    m_unexpected.append(request);
    const QString what = QString::fromLatin1(request.method + ' ' + request.target);
    if (!QTest::runningTest()) {
        m_unreported.append(what);
        return;
    }
    // Only the first failure of a test function says what went wrong first.
    if (!QTest::currentTestFailed()) {
        const QByteArray message = "a request nobody expected came: " + what.toUtf8();
        QTest::qFail(message.constData(), __FILE__, __LINE__);
    }
}

} // namespace freshgate::test
