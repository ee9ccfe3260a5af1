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

    // Where an earlier try broke off: ask only for the bytes from `from` on, provided the
    // resource is still the one `validator` (its ETag or Last-Modified) names.
    struct Resume {
        qint64 from = 0;
        QByteArray validator;
    };

    // notify receives the transfer control's state numbers as the request moves on; amount the
    // bytes received and the announced total (-1 when unknown), at most a few times a second.
    // A time-out of 0 (none) turns the rate floor off as well.
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
    // What the server said about continuing this resource: its validator (ETag, else
    // Last-Modified), whether it serves byte ranges, and how long it asked to be left alone
    // (Retry-After, -1 when it did not say).
    [[nodiscard]] QByteArray validator() const { return m_validator; }
    [[nodiscard]] bool servesRanges() const { return m_servesRanges; }
    [[nodiscard]] int retryAfterSeconds() const { return m_retryAfter; }

private:
    // True once the final response's headers are in and acceptable.
    bool checkHeaders();
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
    QByteArray m_validator;
    bool m_servesRanges = false;
    int m_retryAfter = -1;
    QStringList m_sslProblems;
    std::vector<char> m_chunk;
    ReceiveProgress m_progress;
};

} // namespace freshgate
