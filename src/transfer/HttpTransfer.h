#pragma once

#include "base/Result.h"
#include "transfer/FileSink.h"
#include "transfer/TransferRules.h"

#include <QObject>
#include <QString>
#include <optional>
#include <utility>

class QEventLoop;
class QNetworkAccessManager;

namespace freshgate {

class BodySink;
class TransferRequest;

// HTTP GET of a URL as text or into a file. GUI thread only. Each fetch is synchronous to its
// caller but waits in a local event loop, so the window repaints and its close box stays live.
// A failure comes back in the result, never thrown; its message starts with "GET <url>: " (the
// URL masked, see maskedUrl), and one of the disk is this computer's, naming the folder. Every
// fetch and every failed try is logged (freshgate.transfer) with its URL, status and bytes. The
// object must not be deleted while a fetch waits: cancel() it and let the fetch return first.
class HttpTransfer : public QObject {
    Q_OBJECT

public:
    // The state numbers of the Internet transfer control that stateChanged() reports.
    enum State {
        RequestSent = 6,
        ReceivingResponse = 7,
        ResponseReceived = 8,
        Error = 11,
        ResponseCompleted = 12,
    };

    explicit HttpTransfer(QObject *parent = nullptr);
    ~HttpTransfer() override;

    // No data for that many seconds fails the transfer; 0 means no time-out, a negative value
    // or one above kMostTimeoutSeconds means kDefaultTimeoutSeconds.
    void setRequestTimeout(int seconds);
    int requestTimeout() const { return m_timeoutSeconds; }

    void setMaxTextBytes(qint64 bytes) { m_maxTextBytes = bytes; }
    qint64 maxTextBytes() const { return m_maxTextBytes; }
    void setMaxDownloadBytes(qint64 bytes) { m_maxDownloadBytes = bytes; }
    qint64 maxDownloadBytes() const { return m_maxDownloadBytes; }
    // A try that drops, times out or gets 408, 429 or 5xx is made again, up to `tries` in all,
    // after firstDelayMs, then twice that (with jitter), or what Retry-After asks up to 30 s. A
    // download the server can continue (an ETag or Last-Modified, and byte ranges) continues
    // where it broke off.
    void setRetries(int tries, int firstDelayMs);
    [[nodiscard]] int tries() const { return m_tries; }
    // How a download measures the free space of its disk (see FileSink); tests make it small.
    void setFreeSpaceProbe(FreeSpaceProbe probe) { m_freeSpaceProbe = std::move(probe); }

    // The body as text: UTF-8 (a leading byte-order mark dropped), read as Latin-1 when it is not
    // valid UTF-8. A status other than 2xx is a failure.
    [[nodiscard]] Result<QString> getUrlData(const QString &url);

    // Streams the body into a temporary file beside filePath, renamed to filePath (replacing any
    // older file) only once complete, and gives its byte count. A failure removes the temporary
    // file and leaves an older file at filePath as it was. An empty body leaves a zero-length
    // file and gives 0. A body that would leave the disk no room for its extraction fails
    // (FileSink says how that is decided).
    [[nodiscard]] Result<qint64> getBinaryData(const QString &url, const QString &filePath);
    // The same with limits of its own for this one file: its size (for a small file fetched as
    // bytes, or one whose size is known), and the slowest rate it may come at (see RateFloor;
    // a time-out of 0 turns that off too). A transfer cut off as too slow is a
    // FailureKind::TooSlow, tried again like a time-out.
    [[nodiscard]] Result<qint64> getBinaryData(const QString &url, const QString &filePath,
                                               qint64 maxBytes, RateFloor floor = {});

    // Aborts the fetch in flight, if any, also while it waits to try again; the waiting call
    // returns failure.
    void cancel();
    bool isBusy() const { return m_request != nullptr || m_pause != nullptr; }

signals:
    void stateChanged(int state);
    // How much of the body has come, and the announced total (-1 when unknown), at most four
    // times a second while a body arrives.
    void received(qint64 bytes, qint64 total);
    // A try failed and try number `next` of `tries` is about to start (after its pause).
    void retrying(int next, int tries);

private:
    // How one try went, as far as the next try and the log need to know.
    struct Exchange {
        int status = 0; // 0 when no answer came
        qint64 bytes = 0;
        qint64 total = -1;
        std::optional<Resume> continuation;
        bool partRefused = false;
        int retryAfter = -1;
        // "-> 206, 1000 of 5000 bytes", as the log shows it after the URL.
        [[nodiscard]] QString summary() const;
    };

    // Every try, with the pauses between them; last says how the last one went.
    [[nodiscard]] Result<qint64> fetch(const QString &url, BodySink &sink, RateFloor floor,
                                       Exchange *last);
    // One request: the rest of what the sink keeps when continuation allows, else the whole.
    [[nodiscard]] Result<qint64> tryOnce(const QString &url, BodySink &sink, RateFloor floor,
                                         const std::optional<Resume> &continuation, Exchange *last);
    // Logs the transfer, sends its last notification, and puts the URL (masked) in front of a
    // failure's message.
    [[nodiscard]] Result<qint64> finish(const QString &url, Result<qint64> outcome,
                                        const Exchange &last, qint64 elapsedMs);

    QNetworkAccessManager *m_manager = nullptr;
    // Waits delayMs in a local event loop; false when cancel() ended the wait.
    [[nodiscard]] bool pause(int delayMs);

    // The request in flight, owned by the fetch that waits for it.
    TransferRequest *m_request = nullptr;
    // The wait between two tries, while there is one.
    QEventLoop *m_pause = nullptr;
    bool m_cancelled = false;
    int m_tries = 3;
    int m_firstDelayMs = 1000;
    int m_timeoutSeconds = kDefaultTimeoutSeconds;
    qint64 m_maxTextBytes = qint64{64} * 1024;
    qint64 m_maxDownloadBytes;
    FreeSpaceProbe m_freeSpaceProbe = freeSpaceOn;
};

} // namespace freshgate
