#include "transfer/HttpTransfer.h"

#include "transfer/BodySink.h"
#include "transfer/FileSink.h"
#include "transfer/TransferRequest.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QUrl>

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
    // A negative time-out is a bad value, not "none": the control's default applies.
    m_timeoutSeconds = seconds < 0 ? DefaultTimeoutSeconds : seconds;
}

void HttpTransfer::cancel()
{
    if (m_request) {
        m_request->cancel();
    }
}

Result<QString> HttpTransfer::getUrlData(const QString &url)
{
    QElapsedTimer clock;
    clock.start();
    TextSink sink(m_maxTextBytes);
    int status = 0;
    const Result<qint64> outcome = fetch(url, sink, &status);
    finish(url, outcome, status, clock.elapsed());
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
                                           qint64 maxBytes)
{
    QElapsedTimer clock;
    clock.start();
    FileSink sink(filePath, maxBytes, m_freeSpaceProbe);
    int status = 0;
    Result<qint64> outcome = 0;
    if (const Status opened = sink.open(); !opened) {
        outcome = opened.failure();
    } else {
        outcome = fetch(url, sink, &status);
        if (outcome) {
            if (const Status committed = sink.commit(); !committed) {
                outcome = committed.failure();
            }
        }
    }
    finish(url, outcome, status, clock.elapsed());
    return outcome;
}

void HttpTransfer::finish(const QString &url, const Result<qint64> &outcome, int status,
                          qint64 elapsedMs)
{
    const QString shown = QUrl(url).toDisplayString(QUrl::RemoveUserInfo);
    if (outcome) {
        qCInfo(lcTransfer).noquote() << QStringLiteral("GET %1 -> %2, %3 bytes, %4 ms")
                                            .arg(shown)
                                            .arg(status)
                                            .arg(*outcome)
                                            .arg(elapsedMs);
        emit stateChanged(ResponseCompleted);
    } else {
        qCWarning(lcTransfer).noquote() << QStringLiteral("GET %1 failed after %2 ms: %3")
                                               .arg(shown)
                                               .arg(elapsedMs)
                                               .arg(outcome.message());
        emit stateChanged(Error);
    }
}

Result<qint64> HttpTransfer::fetch(const QString &url, BodySink &sink, int *status)
{
    if (m_request) {
        return failure(FailureKind::Usage, QStringLiteral("another transfer is still running"));
    }
    TransferRequest request(*m_manager, QUrl(url, QUrl::StrictMode), sink, m_timeoutSeconds,
                            [this](int state) { emit stateChanged(state); });
    m_request = &request;
    Result<qint64> outcome = request.run();
    m_request = nullptr;
    *status = request.status();
    return outcome;
}

} // namespace freshgate
