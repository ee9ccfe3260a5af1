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

QString HttpTransfer::getUrlData(const QString &url)
{
    QElapsedTimer clock;
    clock.start();
    TextSink sink(m_maxTextBytes);
    const TransferOutcome outcome = fetch(url, sink);
    finish(url, outcome, clock.elapsed());
    return outcome.ok ? sink.text() : QString();
}

qint64 HttpTransfer::getBinaryData(const QString &url, const QString &filePath)
{
    return getBinaryData(url, filePath, m_maxDownloadBytes);
}

qint64 HttpTransfer::getBinaryData(const QString &url, const QString &filePath, qint64 maxBytes)
{
    QElapsedTimer clock;
    clock.start();
    FileSink sink(filePath, maxBytes, m_freeSpaceProbe);
    TransferOutcome outcome;
    if (!sink.open(&outcome.error)) {
        finish(url, outcome, clock.elapsed());
        return 0;
    }
    outcome = fetch(url, sink);
    if (outcome.ok && !sink.commit(&outcome.error)) {
        outcome.ok = false;
    }
    finish(url, outcome, clock.elapsed());
    return outcome.ok ? outcome.bytes : 0;
}

void HttpTransfer::finish(const QString &url, const TransferOutcome &outcome, qint64 elapsedMs)
{
    const QString shown = QUrl(url).toDisplayString(QUrl::RemoveUserInfo);
    if (outcome.ok) {
        m_lastError.clear();
        qCInfo(lcTransfer).noquote() << QStringLiteral("GET %1 -> %2, %3 bytes, %4 ms")
                                            .arg(shown)
                                            .arg(outcome.status)
                                            .arg(outcome.bytes)
                                            .arg(elapsedMs);
        emit stateChanged(ResponseCompleted);
    } else {
        m_lastError = outcome.error;
        qCWarning(lcTransfer).noquote() << QStringLiteral("GET %1 failed after %2 ms: %3")
                                               .arg(shown)
                                               .arg(elapsedMs)
                                               .arg(outcome.error);
        emit stateChanged(Error);
    }
}

TransferOutcome HttpTransfer::fetch(const QString &url, BodySink &sink)
{
    if (m_request) {
        TransferOutcome busy;
        busy.error = QStringLiteral("another transfer is still running");
        return busy;
    }
    TransferRequest request(*m_manager, QUrl(url, QUrl::StrictMode), sink, m_timeoutSeconds,
                            [this](int state) { emit stateChanged(state); });
    m_request = &request;
    const TransferOutcome outcome = request.run();
    m_request = nullptr;
    return outcome;
}

} // namespace freshgate
