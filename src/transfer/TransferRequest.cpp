#include "transfer/TransferRequest.h"

#include "transfer/BodySink.h"
#include "transfer/HttpTransfer.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QTimer>

namespace freshgate {
namespace {

// Bounds what Qt buffers ahead of us and what one read moves, so memory stays flat while a large
// body streams into its file. Measured on loopback: larger chunks were no faster, only bigger.
constexpr qint64 kReadChunkBytes = qint64{256} * 1024;
// How often the amount received is passed on, at most.
constexpr qint64 kAmountIntervalMs = 250;
// An error page larger than this is cut off rather than read to its end.
constexpr qint64 kMaxErrorPageBytes = qint64{64} * 1024;

// Aborts once the current signal of the reply has returned (Qt does not expect an abort from
// inside one), unless the reply has failed or finished by then anyway.
void abortLater(QNetworkReply *reply)
{
    QMetaObject::invokeMethod(
        reply,
        [reply] {
            if (!reply->isFinished() && reply->error() == QNetworkReply::NoError) {
                reply->abort();
            }
        },
        Qt::QueuedConnection);
}

bool isRedirect(int status)
{
    return status >= 300 && status <= 399;
}

} // namespace

TransferRequest::TransferRequest(QNetworkAccessManager &manager, QUrl url, BodySink &sink,
                                 int timeoutSeconds, RateFloor floor,
                                 std::function<void(int)> notify,
                                 std::function<void(qint64, qint64)> amount, Resume resume)
    : m_manager(manager), m_url(std::move(url)), m_sink(sink), m_timeoutSeconds(timeoutSeconds),
      m_floor(floor), m_rate(floor), m_notify(std::move(notify)), m_amount(std::move(amount)),
      m_resume(std::move(resume)), m_chunk(kReadChunkBytes)
{
}

TransferRequest::~TransferRequest()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

void TransferRequest::cancel()
{
    // Queued: cancel() may come from a slot that runs inside one of the reply's own signals.
    if (m_reply && !m_cancelled) {
        m_cancelled = true;
        abortLater(m_reply);
    }
}

Result<qint64> TransferRequest::run()
{
    const QString scheme = m_url.scheme().toLower();
    if (!m_url.isValid() || m_url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        m_state = State::Finished;
        return failure(FailureKind::Usage, QStringLiteral("not an http or https URL"));
    }
    start(request());
    waitForTheEnd();
    m_reply->disconnect(this);
    m_reply->deleteLater();
    m_reply = nullptr;
    if (m_failure) {
        return *m_failure;
    }
    return m_bytes;
}

QNetworkRequest TransferRequest::request() const
{
    QNetworkRequest request(m_url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(m_timeoutSeconds * 1000);
    // The bytes as the server keeps them: a cabinet is stored as it came, and the length the
    // server announces is the length that must arrive.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Freshgate/" FRESHGATE_VERSION));
    if (m_resume.from > 0) {
        // If-Range: a resource that changed since comes whole (200). A server that ignores it
        // and sends a part anyway has that part checked against the same validator.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_resume.from) + '-');
        request.setRawHeader("If-Range", m_resume.validator.value);
    }
    return request;
}

void TransferRequest::start(const QNetworkRequest &request)
{
    // A new connection per request. Qt applies the read-buffer limit (below) only once its HTTP
    // thread has started the request; on a reused connection the body can run megabytes ahead of
    // it, and that head start stays as extra buffering for the whole transfer. Opening a
    // connection gives the limit time to arrive first. An update fetches a handful of files.
    m_manager.clearConnectionCache();
    QNetworkReply *reply = m_manager.get(request);
    m_reply = reply;
    // Qt passes the read-buffer limit on to its HTTP thread only once the request has started
    // there (queued after get(), and again after each redirect); a limit set before that is lost
    // and the body would flow unthrottled. So it is set again once Qt has started each request.
    const auto limitReadBuffer = [reply] {
        reply->setReadBufferSize(kReadChunkBytes);
        QMetaObject::invokeMethod(
            reply, [reply] { reply->setReadBufferSize(kReadChunkBytes); }, Qt::QueuedConnection);
    };
    limitReadBuffer();

    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        if (m_state == State::AwaitingHeaders) {
            checkHeaders();
        }
    });
    connect(reply, &QNetworkReply::redirected, this, limitReadBuffer);
    connect(reply, &QIODevice::readyRead, this, &TransferRequest::drain);
    connect(reply, &QNetworkReply::finished, this, &TransferRequest::onFinished);
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &error : errors) {
            m_sslProblems << error.errorString();
        }
    });
}

void TransferRequest::waitForTheEnd()
{
    QEventLoop loop;
    m_loop = &loop;
    // Measured from the request on: a server that trickles its headers is as slow as one that
    // trickles its body. No time-out means waiting as long as it takes, however slowly.
    QTimer rateTimer;
    if (m_timeoutSeconds > 0 && m_floor.windowMs > 0) {
        connect(&rateTimer, &QTimer::timeout, this, &TransferRequest::checkRate);
        rateTimer.start(m_rate.tickMs());
    }

    m_notify(HttpTransfer::RequestSent);
    if (m_state != State::Finished) {
        loop.exec();
    }
    rateTimer.stop();
    if (m_state != State::Finished) {
        // The loop was told to quit from outside (the application is quitting): the transfer
        // cannot go on unattended.
        if (!m_failure) {
            m_failure = failure(FailureKind::Cancelled,
                                QStringLiteral("interrupted: the event loop was asked to quit"));
        }
        m_reply->abort();
        onFinished();
    }
    m_loop = nullptr;
}

std::optional<Resume> TransferRequest::continuation() const
{
    if (!m_servesRanges || !m_validator || m_announced < 0) {
        return std::nullopt;
    }
    return Resume{m_bytes, m_announced, *m_validator};
}

void TransferRequest::checkRate()
{
    if (m_state == State::Finished || m_state == State::Failing) {
        return;
    }
    if (m_rate.tooSlow(m_received)) {
        fail(failure(FailureKind::TooSlow,
                     QStringLiteral("slower than %1 bytes/s over %2 s (%3 bytes in all): cut off")
                         .arg(m_floor.bytesPerSecond)
                         .arg(static_cast<double>(m_floor.windowMs) / 1000.0)
                         .arg(m_received)));
    }
}

void TransferRequest::fail(Failure why)
{
    if (!m_failure) {
        m_failure = std::move(why);
    }
    if (m_state != State::Failing && m_state != State::Finished) {
        m_state = State::Failing;
        abortLater(m_reply);
    }
}

bool TransferRequest::checkHeaders()
{
    if (m_state == State::Receiving) {
        return true;
    }
    if (m_state != State::AwaitingHeaders) {
        return false;
    }
    const QVariant code = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!code.isValid()) {
        return false;
    }
    m_status = code.toInt();
    m_retryAfter = freshgate::retryAfterSeconds(m_reply->rawHeader("Retry-After"));
    if (!isSuccessStatus(m_status)) {
        // A redirect is either followed (the next response comes) or refused (the reply
        // finishes with an error); a 3xx that ends the transfer fails there.
        if (isRedirect(m_status)) {
            return false;
        }
        Failure why = failure(
            FailureKind::HttpStatus,
            QStringLiteral("HTTP status %1 %2")
                .arg(m_status)
                .arg(m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()),
            m_status);
        // Qt fails an error status itself once its page is in; aborting as well races with
        // that, so a page of ordinary size is read and dropped.
        if (m_status >= 400) {
            m_failure = std::move(why);
            m_state = State::DiscardingErrorPage;
        } else {
            fail(why);
        }
        return false;
    }
    if (m_status == 206 ? !takePart() : !takeWhole()) {
        return false;
    }
    m_state = State::Receiving;
    if (m_announced >= 0) {
        if (Status room = m_sink.refuse(m_announced); !room) {
            fail(room.failure());
            return false;
        }
    }
    m_progress = ReceiveProgress(m_announced);
    m_notify(HttpTransfer::ResponseReceived);
    if (m_amount) {
        m_amount(m_bytes, m_announced);
        m_sinceAmount.start();
    }
    return true;
}

bool TransferRequest::takeWhole()
{
    m_announced = announcedLength(m_reply->rawHeader("Content-Length"));
    m_validator = rangeValidator(m_reply->rawHeader("ETag"), m_reply->rawHeader("Last-Modified"));
    m_servesRanges = m_reply->rawHeader("Accept-Ranges").trimmed() == "bytes";
    if (m_resume.from > 0) {
        // The whole resource again (it changed, or the server does not do ranges): start over.
        if (Status emptied = m_sink.restart(); !emptied) {
            fail(emptied.failure());
            return false;
        }
    }
    return true;
}

bool TransferRequest::takePart()
{
    if (m_resume.from == 0) {
        fail(failure(FailureKind::Network,
                     QStringLiteral("the server sent a part where the whole file was asked for")));
        return false;
    }
    // What is here, whether or not this part may follow it.
    m_bytes = m_resume.from;
    const QString mismatch = whyNotContinuing(m_resume, m_reply->rawHeader("Content-Range"),
                                              m_reply->rawHeader(m_resume.validator.header));
    if (!mismatch.isEmpty()) {
        m_partRefused = true;
        fail(failure(FailureKind::Network, mismatch));
        return false;
    }
    // The rest of the very resource the bytes already here came from.
    m_validator = m_resume.validator;
    m_servesRanges = true;
    m_announced = m_resume.total;
    return true;
}

void TransferRequest::drain()
{
    if (m_state == State::Finished || m_state == State::Failing) {
        return;
    }
    if (!checkHeaders() && m_state != State::DiscardingErrorPage) {
        return;
    }
    // Read until a read comes back empty: only a read that finds Qt's buffer empty tells its
    // HTTP thread that there is room for more.
    while (m_state == State::Receiving || m_state == State::DiscardingErrorPage) {
        const qint64 got = m_reply->read(m_chunk.data(), static_cast<qint64>(m_chunk.size()));
        if (got <= 0) {
            break;
        }
        m_received += got;
        if (m_state == State::DiscardingErrorPage) {
            m_discarded += got;
            if (m_discarded > kMaxErrorPageBytes) {
                fail(*m_failure);
            }
            continue;
        }
        m_bytes += got;
        Status taken = m_sink.refuse(m_bytes);
        if (taken) {
            taken = m_sink.write(m_chunk.data(), got);
        }
        if (!taken) {
            fail(taken.failure());
            return;
        }
        if (m_progress.advance(m_bytes)) {
            m_notify(HttpTransfer::ReceivingResponse);
        }
        // A few times a second is as often as anyone can read a changing number.
        if (m_amount && m_sinceAmount.isValid() && m_sinceAmount.elapsed() >= kAmountIntervalMs) {
            m_amount(m_bytes, m_announced);
            m_sinceAmount.restart();
        }
    }
}

void TransferRequest::onFinished()
{
    if (m_state == State::Finished) {
        return;
    }
    if (m_reply->error() == QNetworkReply::NoError) {
        drain();
    }
    // A failure already noted was explained by whoever failed the request.
    if (!m_failure) {
        m_failure = finalFailure();
    }
    m_state = State::Finished;
    if (m_loop) {
        m_loop->quit();
    }
}

std::optional<Failure> TransferRequest::finalFailure() const
{
    const QNetworkReply::NetworkError error = m_reply->error();
    if (m_cancelled) {
        return failure(FailureKind::Cancelled, QStringLiteral("cancelled"));
    }
    if (error == QNetworkReply::TimeoutError ||
        (error == QNetworkReply::OperationCanceledError && m_timeoutSeconds > 0)) {
        return failure(FailureKind::Timeout,
                       QStringLiteral("no data for %1 s (time-out)").arg(m_timeoutSeconds));
    }
    if (error != QNetworkReply::NoError) {
        QString why = m_reply->errorString();
        if (m_state == State::AwaitingHeaders && isRedirect(m_status)) {
            return failure(
                FailureKind::HttpStatus,
                QStringLiteral("HTTP status %1, redirect not followed: %2").arg(m_status).arg(why),
                m_status);
        }
        for (const QString &problem : m_sslProblems) {
            if (!why.contains(problem)) {
                why += QStringLiteral("; ") + problem;
            }
        }
        FailureKind kind = FailureKind::Network;
        if (error == QNetworkReply::HostNotFoundError) {
            kind = FailureKind::HostNotFound;
        } else if (error == QNetworkReply::SslHandshakeFailedError || !m_sslProblems.isEmpty()) {
            kind = FailureKind::Tls;
        }
        return failure(kind, why);
    }
    if (m_state != State::Receiving) {
        return m_status != 0 ? failure(FailureKind::HttpStatus,
                                       QStringLiteral("HTTP status %1").arg(m_status), m_status)
                             : failure(FailureKind::Network, QStringLiteral("no HTTP response"));
    }
    if (m_announced >= 0 && m_bytes != m_announced) {
        return failure(FailureKind::Network,
                       QStringLiteral("connection dropped after %1 of %2 bytes")
                           .arg(m_bytes)
                           .arg(m_announced));
    }
    return std::nullopt;
}

} // namespace freshgate
