#pragma once

#include "base/Result.h"
#include "transfer/TransferRules.h"

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

    // notify receives the transfer control's state numbers as the request moves on.
    TransferRequest(QNetworkAccessManager &manager, QUrl url, BodySink &sink, int timeoutSeconds,
                    std::function<void(int)> notify);
    ~TransferRequest() override;

    // The bytes the body brought, or why the request failed.
    [[nodiscard]] Result<qint64> run();
    // Aborts the request; run() returns "cancelled". Safe from inside the reply's own signals.
    void cancel();
    [[nodiscard]] State state() const { return m_state; }
    // The final response's status, 0 before one came.
    [[nodiscard]] int status() const { return m_status; }

private:
    // True once the final response's headers are in and acceptable.
    bool checkHeaders();
    void drain();
    void onFinished();
    void fail(Failure why);
    // Why a request that ended without a failure already noted did not succeed.
    [[nodiscard]] std::optional<Failure> finalFailure() const;

    QNetworkAccessManager &m_manager;
    QUrl m_url;
    BodySink &m_sink;
    int m_timeoutSeconds;
    std::function<void(int)> m_notify;

    QNetworkReply *m_reply = nullptr;
    QEventLoop *m_loop = nullptr;
    State m_state = State::AwaitingHeaders;
    std::optional<Failure> m_failure;
    int m_status = 0;
    qint64 m_bytes = 0;
    qint64 m_announced = -1;
    qint64 m_discarded = 0;
    bool m_cancelled = false;
    QStringList m_sslProblems;
    std::vector<char> m_chunk;
    ReceiveProgress m_progress;
};

} // namespace freshgate
