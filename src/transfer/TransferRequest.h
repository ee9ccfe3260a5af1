#pragma once

#include "base/Result.h"
#include "transfer/TransferRules.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>
#include <vector>

class QEventLoop;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

namespace freshgate {

class BodySink;

// One GET of one URL into a sink, from the request to the last byte. GUI thread; run() waits in
// a local event loop. The object lives for one request: a retry is a new request, which is what
// keeps the state of an attempt from leaking into the next one.
class TransferRequest : public QObject {
    Q_OBJECT

public:
    enum class State {
        // Waiting for the final response's headers (redirects are followed meanwhile).
        AwaitingHeaders,
        // A 2xx answer: the body goes into the sink.
        Receiving,
        // An error status: its page is read and dropped, since aborting races with Qt's own end.
        DiscardingErrorPage,
        // Refused or broken: nothing more is read while the abort is on its way.
        Failing,
        Finished,
    };

    // notify receives the transfer control's state numbers as the request moves on; amount the
    // bytes received and the announced total (-1 when unknown), at most a few times a second.
    // A time-out of 0 (none) turns the rate floor off as well. A resume with bytes to continue
    // asks only for the rest, and takes it only from the same version of the resource (see
    // whyNotContinuing); a whole answer instead empties the sink first.
    TransferRequest(QNetworkAccessManager &manager, QUrl url, BodySink &sink, int timeoutSeconds,
                    RateFloor floor, std::function<void(int)> notify,
                    std::function<void(qint64, qint64)> amount, Resume resume);
    ~TransferRequest() override;

    // The bytes the body brought, or why the request failed.
    [[nodiscard]] Result<qint64> run();
    // Aborts the request; run() returns "cancelled". Safe from inside the reply's own signals.
    void cancel();
    [[nodiscard]] State state() const { return m_state; }
    // The final response's status, 0 before one came.
    [[nodiscard]] int status() const { return m_status; }
    // The body's bytes the sink holds (those of the try continued included), and the whole
    // body's length (-1 while unknown).
    [[nodiscard]] qint64 bytes() const { return m_bytes; }
    [[nodiscard]] qint64 total() const { return m_announced; }
    // What would let a later try continue this one: the server serves byte ranges, named a
    // validator that can guard them, and the whole length; nullopt otherwise.
    [[nodiscard]] std::optional<Resume> continuation() const;
    // Whether a part the server sent was refused as not continuing the bytes already here: the
    // sink still holds them, and only a request for the whole resource can go on.
    [[nodiscard]] bool partRefused() const { return m_partRefused; }
    // How long the server asked to be left alone (Retry-After), -1 when it did not say.
    [[nodiscard]] int retryAfterSeconds() const { return m_retryAfter; }

private:
    // The GET with its headers (and its range, when continuing).
    [[nodiscard]] QNetworkRequest request() const;
    void start(const QNetworkRequest &request);
    // Runs the local event loop until the reply has finished, however it ends.
    void waitForTheEnd();
    // True once the final response's headers are in and acceptable.
    bool checkHeaders();
    // Whether a 200 answer's body, or a 206 answer's part, is one to take; fails the request
    // when it is not.
    [[nodiscard]] bool takeWhole();
    [[nodiscard]] bool takePart();
    void drain();
    void onFinished();
    void fail(Failure why);
    // Cuts the request off when it has come too slowly (see RateFloor).
    void checkRate();
    // Why a request that ended without a failure already noted did not succeed.
    [[nodiscard]] std::optional<Failure> finalFailure() const;

    QNetworkAccessManager &m_manager;
    QUrl m_url;
    BodySink &m_sink;
    int m_timeoutSeconds;
    RateFloor m_floor;
    RateWatch m_rate;
    // Every byte this request read, an error page's included.
    qint64 m_received = 0;
    std::function<void(int)> m_notify;
    std::function<void(qint64, qint64)> m_amount;
    QElapsedTimer m_sinceAmount;

    QNetworkReply *m_reply = nullptr;
    QEventLoop *m_loop = nullptr;
    State m_state = State::AwaitingHeaders;
    std::optional<Failure> m_failure;
    int m_status = 0;
    qint64 m_bytes = 0;
    qint64 m_announced = -1;
    qint64 m_discarded = 0;
    bool m_cancelled = false;
    Resume m_resume;
    std::optional<Validator> m_validator;
    bool m_servesRanges = false;
    bool m_partRefused = false;
    int m_retryAfter = -1;
    QStringList m_sslProblems;
    std::vector<char> m_chunk;
    ReceiveProgress m_progress;
};

} // namespace freshgate
