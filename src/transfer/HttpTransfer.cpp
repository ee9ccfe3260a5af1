#include "transfer/HttpTransfer.h"

#include "transfer/BodySink.h"
#include "transfer/FileSink.h"
#include "transfer/TransferRequest.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>
#include <algorithm>

namespace freshgate {

namespace {

Q_LOGGING_CATEGORY(lcTransfer, "freshgate.transfer", QtWarningMsg)

} // namespace

HttpTransfer::HttpTransfer(QObject *parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this)),
      m_maxDownloadBytes(FRESHGATE_MAX_DOWNLOAD_BYTES)
{
    // http_proxy, https_proxy and no_proxy on Linux, the system settings elsewhere.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

HttpTransfer::~HttpTransfer()
{
    if (m_request) {
        m_request->cancel();
    }
}

void HttpTransfer::setRequestTimeout(int seconds)
{
    // A negative time-out is a bad value, not "none": the control's default applies. So is one
    // whose milliseconds would not fit the request's counter.
    m_timeoutSeconds =
        seconds < 0 || seconds > kMostTimeoutSeconds ? kDefaultTimeoutSeconds : seconds;
}

void HttpTransfer::setRetries(int tries, int firstDelayMs)
{
    m_tries = std::max(1, tries);
    m_firstDelayMs = std::max(0, firstDelayMs);
}

void HttpTransfer::cancel()
{
    m_cancelled = true;
    if (m_request) {
        m_request->cancel();
    }
    if (m_pause) {
        m_pause->quit();
    }
}

bool HttpTransfer::pause(int delayMs)
{
    QEventLoop loop;
    QTimer::singleShot(delayMs, &loop, &QEventLoop::quit);
    m_pause = &loop;
    loop.exec();
    m_pause = nullptr;
    return !m_cancelled;
}

Result<QString> HttpTransfer::getUrlData(const QString &url)
{
    QElapsedTimer clock;
    clock.start();
    TextSink sink(m_maxTextBytes);
    Exchange last;
    Result<qint64> outcome = fetch(url, sink, RateFloor{}, &last);
    outcome = finish(url, std::move(outcome), last, clock.elapsed());
    if (!outcome) {
        return outcome.failure();
    }
    return sink.text();
}

Result<qint64> HttpTransfer::getBinaryData(const QString &url, const QString &filePath)
{
    return getBinaryData(url, filePath, m_maxDownloadBytes);
}

Result<qint64> HttpTransfer::getBinaryData(const QString &url, const QString &filePath,
                                           qint64 maxBytes, RateFloor floor)
{
    QElapsedTimer clock;
    clock.start();
    FileSink sink(filePath, maxBytes, m_freeSpaceProbe);
    Exchange last;
    Result<qint64> outcome = 0;
    if (const Status opened = sink.open(); !opened) {
        outcome = opened.failure();
    } else {
        outcome = fetch(url, sink, floor, &last);
        if (outcome) {
            if (const Status committed = sink.commit(); !committed) {
                outcome = committed.failure();
            }
        }
    }
    return finish(url, std::move(outcome), last, clock.elapsed());
}

QString HttpTransfer::Exchange::summary() const
{
    const QString answer =
        status == 0 ? QStringLiteral("-> no HTTP status") : QStringLiteral("-> %1").arg(status);
    const QString amount = total >= 0 ? QStringLiteral("%1 of %2 bytes").arg(bytes).arg(total)
                                      : QStringLiteral("%1 bytes").arg(bytes);
    return answer + QStringLiteral(", ") + amount;
}

Result<qint64> HttpTransfer::finish(const QString &url, Result<qint64> outcome,
                                    const Exchange &last, qint64 elapsedMs)
{
    const QString shown = maskedUrl(QUrl(url));
    if (outcome) {
        qCInfo(lcTransfer).noquote() << QStringLiteral("GET %1 -> %2, %3 bytes, %4 ms")
                                            .arg(shown)
                                            .arg(last.status)
                                            .arg(*outcome)
                                            .arg(elapsedMs);
        emit stateChanged(ResponseCompleted);
        return outcome;
    }
    qCWarning(lcTransfer).noquote() << QStringLiteral("GET %1 %2, %3 ms, failed: %4")
                                           .arg(shown, last.summary())
                                           .arg(elapsedMs)
                                           .arg(outcome.message());
    emit stateChanged(Error);
    // Whoever shows the failure shows what was being fetched, with its secrets masked.
    return outcome.failure().within(QStringLiteral("GET ") + shown);
}

Result<qint64> HttpTransfer::fetch(const QString &url, BodySink &sink, RateFloor floor,
                                   Exchange *last)
{
    if (isBusy()) {
        return failure(FailureKind::Usage, QStringLiteral("another transfer is still running"));
    }
    m_cancelled = false;
    const QString shown = maskedUrl(QUrl(url));
    // What lets a later try continue an earlier one, once the server has shown that it serves
    // ranges of this very resource.
    std::optional<Resume> continuation;
    for (int attempt = 1;; ++attempt) {
        Result<qint64> outcome = tryOnce(url, sink, floor, continuation, last);
        if (!outcome && last->partRefused && !m_cancelled) {
            // Not the rest of what is here: the whole resource, at once, without a range.
            qCInfo(lcTransfer).noquote() << QStringLiteral("GET %1 %2: %3; fetching it whole")
                                                .arg(shown, last->summary(), outcome.message());
            continuation.reset();
            outcome = tryOnce(url, sink, floor, continuation, last);
        }
        if (outcome || m_cancelled || attempt >= m_tries || !isRetryable(outcome.failure())) {
            return outcome;
        }
        // An answer that came says what may be continued now; a try that got none (refused, no
        // headers in time) leaves it as it was.
        if (last->status != 0) {
            continuation = last->continuation;
        }
        const double jitter = 0.8 + 0.4 * QRandomGenerator::global()->generateDouble();
        const int delayMs = retryDelayMs(attempt + 1, m_firstDelayMs, last->retryAfter, jitter);
        qCInfo(lcTransfer).noquote()
            << QStringLiteral("GET %1 %2: try %3 of %4 failed (%5); trying again in %6 ms")
                   .arg(shown, last->summary())
                   .arg(attempt)
                   .arg(m_tries)
                   .arg(outcome.message())
                   .arg(delayMs);
        emit retrying(attempt + 1, m_tries);
        if (!pause(delayMs)) {
            return failure(FailureKind::Cancelled, QStringLiteral("cancelled"));
        }
    }
}

Result<qint64> HttpTransfer::tryOnce(const QString &url, BodySink &sink, RateFloor floor,
                                     const std::optional<Resume> &continuation, Exchange *last)
{
    Resume resume;
    if (continuation && sink.kept() > 0) {
        resume = *continuation;
        resume.from = sink.kept();
    } else if (const Status emptied = sink.restart(); !emptied) {
        return emptied.failure();
    }
    TransferRequest request(
        *m_manager, QUrl(url, QUrl::StrictMode), sink, m_timeoutSeconds, floor,
        [this](int state) { emit stateChanged(state); },
        [this](qint64 bytes, qint64 total) { emit received(bytes, total); }, resume);
    m_request = &request;
    Result<qint64> outcome = request.run();
    m_request = nullptr;
    *last = {request.status(),       request.bytes(),       request.total(),
             request.continuation(), request.partRefused(), request.retryAfterSeconds()};
    return outcome;
}

} // namespace freshgate
