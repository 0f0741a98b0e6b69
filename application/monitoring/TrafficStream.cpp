#include "monitoring/TrafficStream.h"

#include "monitoring/Wakeup.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {

// A sample line is a few dozen bytes. A longer line, or more unread data than this, is not the
// core's stream: it is dropped and asked for again after the pause.
constexpr qint64 maximumLineBytes = 64 * 1024;
constexpr qint64 maximumBufferedBytes = 1024 * 1024;
// The stream has no end, but its head must come soon.
constexpr int headDeadlineMs = 5000;

QByteArray withoutTerminator(QByteArray line) {
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

TrafficStream::TrafficStream(QNetworkAccessManager* network, int retryPauseMs, QObject* parent)
    : QObject(parent), m_network(network), m_retryPauseMs(retryPauseMs) {}

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
        const QByteArray line = withoutTerminator(device.readLine());
        if (line.size() > maximumLineBytes)
            return false;
        if (const std::optional<LiveTraffic> traffic = decodeTrafficLine(line))
            emit sample(*traffic);
    }
    // What is left is the start of a line.
    return generation == m_generation && device.bytesAvailable() <= maximumLineBytes;
}

QCoro::Task<> TrafficStream::run(quint64 generation, QNetworkRequest request) {
    QPointer<TrafficStream> self(this);
    while (self && isCurrent(generation) && m_network) {
        QPointer<QNetworkReply> reply = m_network->get(request);
        m_reply = reply;
        // Past this the access manager stops reading from the socket until lines are taken.
        reply->setReadBufferSize(maximumBufferedBytes);
        QTimer::singleShot(headDeadlineMs, reply.data(), [reply] {
            if (reply && !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
                reply->abort();
        });
        emit requestSent();

        // Every end waits for the pause before the next attempt: a refused or broken request,
        // an error status, a stream dropped for its size, and also a body that simply ends
        // (an empty 200 would otherwise make the loop spin).
        while (reply && self && isCurrent(generation)) {
            const bool atEnd = reply->isFinished();
            if (reply->bytesAvailable() > maximumBufferedBytes || !consumeLines(*reply, atEnd))
                break;
            if (atEnd)
                break;
            Wakeup next;
            next.on(reply.data(), &QIODevice::readyRead);
            next.on(reply.data(), &QNetworkReply::finished);
            next.on(reply.data(), &QObject::destroyed);
            co_await next.fired();
        }
        if (reply) {
            if (!reply->isFinished())
                reply->abort();
            reply->deleteLater();
        }
        if (!self || !isCurrent(generation))
            co_return;
        m_reply = nullptr;

        QTimer pause;
        pause.setSingleShot(true);
        Wakeup due;
        due.on(&pause, &QTimer::timeout);
        due.on(this, &TrafficStream::stopped);
        pause.start(m_retryPauseMs);
        co_await due.fired();
    }
}
