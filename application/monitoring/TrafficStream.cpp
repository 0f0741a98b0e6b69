#include "monitoring/TrafficStream.h"

#include "monitoring/Wakeup.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {

constexpr int retryPauseMs = 1000;

// Whether the next attempt waits for the pause: after a transport failure (refused, reset,
// aborted) and after an error status, so that a controller refusing the stream (a core with
// another secret answers 401 at once) cannot make the loop spin. A body that simply ends is
// asked for again at once.
bool needsPause(const QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true;
    return status.toInt() >= 400 || reply.error() != QNetworkReply::NoError;
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

        bool pause = true;
        while (reply && self && isCurrent(generation)) {
            const bool atEnd = reply->isFinished();
            if (!consumeLines(*reply, atEnd))
                break;
            if (atEnd) {
                pause = needsPause(*reply);
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

        if (pause) {
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
