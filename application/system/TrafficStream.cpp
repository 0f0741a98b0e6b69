#include "system/TrafficStream.h"

#include "system/Wakeup.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {

constexpr int retryPauseMs = 1000;

// An HTTP error status ends the body like any other reply; only a transport failure (refused,
// reset, aborted, no HTTP reply at all) counts as broken and earns the pause.
bool endedInFailure(const QNetworkReply& reply) {
    const int code = reply.error();
    if (code == QNetworkReply::NoError)
        return false;
    const bool httpStatusError =
        (code >= QNetworkReply::ContentAccessDenied &&
         code <= QNetworkReply::UnknownContentError) ||
        (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
    return !httpStatusError;
}

QByteArray withoutTerminator(QByteArray line) {
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

TrafficStream::TrafficStream(QNetworkAccessManager* network, QObject* parent)
    : QObject(parent), m_network(network) {}

TrafficStream::~TrafficStream() {
    stop();
}

void TrafficStream::start(const QNetworkRequest& request) {
    stop();
    m_running = true;
    ++m_generation;
    run(m_generation, request);
}

void TrafficStream::stop() {
    m_running = false;
    ++m_generation;
    // Aborting finishes the reply at once, which wakes a loop waiting for data; it sees the new
    // generation and ends. A loop in its pause is woken by stopped().
    if (QNetworkReply* reply = std::exchange(m_reply, nullptr))
        reply->abort();
    emit stopped();
}

bool TrafficStream::consumeLines(QIODevice& device, bool atEnd) {
    const quint64 generation = m_generation;
    while (device.canReadLine() || (atEnd && device.bytesAvailable() > 0)) {
        if (generation != m_generation)
            return false;
        if (const std::optional<LiveTraffic> traffic =
                decodeTrafficLine(withoutTerminator(device.readLine())))
            emit sample(*traffic);
    }
    return generation == m_generation;
}

QCoro::Task<> TrafficStream::run(quint64 generation, QNetworkRequest request) {
    QPointer<TrafficStream> self(this);
    while (self && isCurrent(generation) && m_network) {
        QPointer<QNetworkReply> reply = m_network->get(request);
        m_reply = reply;
        emit requestSent();

        bool broken = true;
        while (reply && self && isCurrent(generation)) {
            const bool atEnd = reply->isFinished();
            if (!consumeLines(*reply, atEnd))
                break;
            if (atEnd) {
                broken = endedInFailure(*reply);
                break;
            }
            Wakeup next;
            next.on(reply.data(), &QIODevice::readyRead);
            next.on(reply.data(), &QNetworkReply::finished);
            next.on(reply.data(), &QObject::destroyed);
            co_await next.fired();
        }
        if (reply)
            reply->deleteLater();
        if (!self || !isCurrent(generation))
            co_return;
        m_reply = nullptr;

        if (broken) {
            QTimer pause;
            pause.setSingleShot(true);
            Wakeup due;
            due.on(&pause, &QTimer::timeout);
            due.on(this, &TrafficStream::stopped);
            pause.start(retryPauseMs);
            co_await due.fired();
        }
    }
}
