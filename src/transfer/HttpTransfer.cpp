#include "transfer/HttpTransfer.h"

#include "transfer/BodySink.h"
#include "transfer/FileSink.h"
#include "transfer/TransferRules.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QUrl>
#include <vector>

namespace freshgate {

namespace {

Q_LOGGING_CATEGORY(lcTransfer, "freshgate.transfer", QtWarningMsg)

// Bounds what Qt buffers ahead of us and what one read moves, so memory stays flat while a large
// body streams into its file. Measured on loopback: larger chunks were no faster, only bigger.
constexpr qint64 ReadChunkBytes = 256 * 1024;
// An error page larger than this is cut off rather than read to its end.
constexpr qint64 MaxErrorPageBytes = 64 * 1024;

// Aborts once the current signal of the reply has returned (Qt does not expect an abort from
// inside one), unless the reply has failed or finished by then anyway.
void abortLater(QNetworkReply *reply)
{
    QMetaObject::invokeMethod(
        reply,
        [reply] {
            if (!reply->isFinished() && reply->error() == QNetworkReply::NoError)
                reply->abort();
        },
        Qt::QueuedConnection);
}

} // namespace

struct HttpTransfer::Outcome {
    bool ok = false;
    int status = 0;
    qint64 bytes = 0;
    QString error;
};

HttpTransfer::HttpTransfer(QObject *parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this)),
      m_maxDownloadBytes(FRESHGATE_MAX_DOWNLOAD_BYTES)
{
    // http_proxy, https_proxy and no_proxy on Linux, the system settings elsewhere.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

HttpTransfer::~HttpTransfer()
{
    if (m_reply)
        m_reply->abort();
}

void HttpTransfer::setRequestTimeout(int seconds)
{
    // A negative time-out is a bad value, not "none": the control's default applies.
    m_timeoutSeconds = seconds < 0 ? DefaultTimeoutSeconds : seconds;
}

void HttpTransfer::cancel()
{
    // Queued: cancel() may come from a slot that runs inside one of the reply's own signals.
    if (m_reply && !m_cancelled) {
        m_cancelled = true;
        abortLater(m_reply);
    }
}

QString HttpTransfer::getUrlData(const QString &url)
{
    QElapsedTimer clock;
    clock.start();
    TextSink sink(m_maxTextBytes);
    Outcome outcome = fetch(url, sink);
    finish(url, outcome, clock.elapsed());
    return outcome.ok ? sink.text() : QString();
}

qint64 HttpTransfer::getBinaryData(const QString &url, const QString &filePath)
{
    QElapsedTimer clock;
    clock.start();
    FileSink sink(filePath, m_maxDownloadBytes);
    Outcome outcome;
    if (!sink.open(&outcome.error)) {
        finish(url, outcome, clock.elapsed());
        return 0;
    }
    outcome = fetch(url, sink);
    if (outcome.ok && !sink.commit(&outcome.error))
        outcome.ok = false;
    finish(url, outcome, clock.elapsed());
    return outcome.ok ? outcome.bytes : 0;
}

void HttpTransfer::finish(const QString &url, const Outcome &outcome, qint64 elapsedMs)
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

HttpTransfer::Outcome HttpTransfer::fetch(const QString &url, BodySink &sink)
{
    Outcome outcome;
    if (m_reply) {
        outcome.error = QStringLiteral("another transfer is still running");
        return outcome;
    }
    const QUrl target(url, QUrl::StrictMode);
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || target.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        outcome.error = QStringLiteral("not an http or https URL");
        return outcome;
    }

    QNetworkRequest request(target);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(m_timeoutSeconds * 1000);
    // The bytes as the server keeps them: a cabinet is stored as it came, and the length the
    // server announces is the length that must arrive.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Freshgate"));

    // A new connection per request. Qt applies the read-buffer limit (below) only once its HTTP
    // thread has started the request; on a reused connection the body can run megabytes ahead of
    // it, and that head start stays as extra buffering for the whole transfer. Opening a
    // connection gives the limit time to arrive first. An update fetches a handful of files.
    m_manager->clearConnectionCache();
    m_cancelled = false;
    QNetworkReply *reply = m_manager->get(request);
    m_reply = reply;
    // Qt passes the read-buffer limit on to its HTTP thread only once the request has started
    // there (queued after get(), and again after each redirect); a limit set before that is lost
    // and the body would flow unthrottled. So it is set again once Qt has started each request.
    const auto limitReadBuffer = [reply] {
        reply->setReadBufferSize(ReadChunkBytes);
        QMetaObject::invokeMethod(
            reply, [reply] { reply->setReadBufferSize(ReadChunkBytes); }, Qt::QueuedConnection);
    };
    limitReadBuffer();

    QEventLoop loop;
    std::vector<char> chunk(ReadChunkBytes);
    ReceiveProgress progress;
    qint64 announced = -1;
    bool headersIn = false;
    bool done = false;
    QStringList sslProblems;

    // Once failed, nothing more is read while the abort is on its way.
    bool failed = false;
    bool discarding = false;
    qint64 discarded = 0;
    const auto fail = [&](const QString &why) {
        if (outcome.error.isEmpty())
            outcome.error = why;
        if (!failed) {
            failed = true;
            abortLater(reply);
        }
    };
    // True once the final response's headers are in and acceptable.
    const auto checkHeaders = [&]() -> bool {
        if (headersIn)
            return true;
        const QVariant code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!code.isValid())
            return false;
        outcome.status = code.toInt();
        if (!isSuccessStatus(outcome.status)) {
            // A redirect is either followed (the next response comes) or refused (the reply
            // finishes with an error); a 3xx that ends the transfer fails there.
            if (outcome.status >= 300 && outcome.status <= 399)
                return false;
            const QString why =
                QStringLiteral("HTTP status %1 %2")
                    .arg(outcome.status)
                    .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
            // Qt fails an error status itself once its page is in; aborting as well races with
            // that, so a page of ordinary size is read and dropped.
            if (outcome.status >= 400) {
                outcome.error = why;
                discarding = true;
            } else {
                fail(why);
            }
            return false;
        }
        headersIn = true;
        announced = announcedLength(reply->rawHeader("Content-Length"));
        if (announced >= 0) {
            const QString refused = sink.refuse(announced);
            if (!refused.isEmpty()) {
                fail(refused);
                return false;
            }
        }
        progress = ReceiveProgress(announced);
        emit stateChanged(ResponseReceived);
        return !done;
    };
    const auto drain = [&]() {
        if (done || failed || (!checkHeaders() && !discarding))
            return;
        // Read until a read comes back empty: only a read that finds Qt's buffer empty tells its
        // HTTP thread that there is room for more.
        while (!done && !failed) {
            const qint64 got = reply->read(chunk.data(), static_cast<qint64>(chunk.size()));
            if (got <= 0)
                break;
            if (discarding) {
                discarded += got;
                if (discarded > MaxErrorPageBytes)
                    fail(outcome.error);
                continue;
            }
            outcome.bytes += got;
            QString why = sink.refuse(outcome.bytes);
            if (!why.isEmpty() || !sink.write(chunk.data(), got, &why)) {
                fail(why);
                return;
            }
            if (progress.advance(outcome.bytes))
                emit stateChanged(ReceivingResponse);
        }
    };
    const auto finished = [&]() {
        if (done)
            return;
        if (reply->error() == QNetworkReply::NoError)
            drain();
        if (done)
            return;
        done = true;
        if (!outcome.error.isEmpty()) {
            // Already explained by whoever aborted.
        } else if (m_cancelled) {
            outcome.error = QStringLiteral("cancelled");
        } else if (reply->error() == QNetworkReply::TimeoutError ||
                   (reply->error() == QNetworkReply::OperationCanceledError &&
                    m_timeoutSeconds > 0)) {
            outcome.error = QStringLiteral("no data for %1 s (time-out)").arg(m_timeoutSeconds);
        } else if (reply->error() != QNetworkReply::NoError) {
            outcome.error = reply->errorString();
            if (!headersIn && outcome.status >= 300 && outcome.status <= 399)
                outcome.error = QStringLiteral("HTTP status %1, redirect not followed: %2")
                                    .arg(outcome.status)
                                    .arg(outcome.error);
            for (const QString &problem : std::as_const(sslProblems)) {
                if (!outcome.error.contains(problem))
                    outcome.error += QStringLiteral("; ") + problem;
            }
        } else if (!headersIn) {
            outcome.error = outcome.status != 0
                                ? QStringLiteral("HTTP status %1").arg(outcome.status)
                                : QStringLiteral("no HTTP response");
        } else if (announced >= 0 && outcome.bytes != announced) {
            outcome.error = QStringLiteral("connection dropped after %1 of %2 bytes")
                                .arg(outcome.bytes)
                                .arg(announced);
        } else {
            outcome.ok = true;
        }
        loop.quit();
    };

    connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        if (!done && !failed)
            checkHeaders();
    });
    connect(reply, &QNetworkReply::redirected, &loop, limitReadBuffer);
    connect(reply, &QIODevice::readyRead, &loop, drain);
    connect(reply, &QNetworkReply::finished, &loop, finished);
    connect(reply, &QNetworkReply::sslErrors, &loop, [&](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            sslProblems << error.errorString();
    });

    emit stateChanged(RequestSent);
    if (!done)
        loop.exec();
    if (!done) {
        // The loop was told to quit from outside (the application is quitting): the transfer
        // cannot go on unattended.
        if (outcome.error.isEmpty())
            outcome.error = QStringLiteral("interrupted: the event loop was asked to quit");
        reply->abort();
        finished();
    }
    m_reply = nullptr;
    reply->deleteLater();
    if (!outcome.ok)
        outcome.bytes = 0;
    return outcome;
}

} // namespace freshgate
