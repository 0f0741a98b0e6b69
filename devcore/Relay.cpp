#include "Relay.h"

#include <QTcpSocket>

namespace {
constexpr qint64 kChunk = 256 * 1024;
constexpr qint64 kReadBuffer = 1024 * 1024;
constexpr qint64 kHighWater = 1024 * 1024;
} // namespace

Relay::Relay(QTcpSocket* client, QTcpSocket* upstream, QObject* parent)
    : QObject(parent), m_client(client), m_upstream(upstream) {}

void Relay::start() {
    // A bounded read buffer makes Qt stop reading from the kernel, so TCP slows the sender down.
    for (QTcpSocket* socket : {m_client, m_upstream})
        socket->setReadBufferSize(kReadBuffer);
    connect(m_client, &QTcpSocket::readyRead, this, [this] { pump(m_client, m_upstream); });
    connect(m_upstream, &QTcpSocket::readyRead, this, [this] { pump(m_upstream, m_client); });
    connect(m_client, &QTcpSocket::bytesWritten, this, [this] { pump(m_upstream, m_client); });
    connect(m_upstream, &QTcpSocket::bytesWritten, this, [this] { pump(m_client, m_upstream); });
    connect(m_client, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            onClosed(m_client, m_upstream);
    });
    connect(m_upstream, &QTcpSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState state) {
                if (state == QAbstractSocket::UnconnectedState)
                    onClosed(m_upstream, m_client);
            });
    pump(m_client, m_upstream);
    pump(m_upstream, m_client);
    if (m_client->state() == QAbstractSocket::UnconnectedState)
        onClosed(m_client, m_upstream);
    else if (m_upstream->state() == QAbstractSocket::UnconnectedState)
        onClosed(m_upstream, m_client);
}

void Relay::pump(QTcpSocket* from, QTcpSocket* to) {
    const bool draining = from->state() != QAbstractSocket::ConnectedState;
    while (from->bytesAvailable() > 0) {
        if (to->state() != QAbstractSocket::ConnectedState) {
            from->skip(from->bytesAvailable());
            return;
        }
        // What a closed side left in memory goes out at once; a live side waits for room.
        if (!draining && to->bytesToWrite() >= kHighWater)
            return;
        const QByteArray chunk = from->read(kChunk);
        to->write(chunk);
        count(from, chunk.size());
    }
}

void Relay::onClosed(QTcpSocket* closed, QTcpSocket* other) {
    pump(closed, other);
    if (other->state() != QAbstractSocket::UnconnectedState) {
        other->disconnectFromHost(); // sends what is still queued first
        return;
    }
    if (!m_finished) {
        m_finished = true;
        emit finished();
    }
}

void Relay::count(QTcpSocket* from, qint64 bytes) {
    if (from == m_client)
        emit uploaded(bytes);
    else
        emit downloaded(bytes);
}
