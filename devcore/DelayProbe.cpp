#include "DelayProbe.h"

#include <algorithm>

DelayProbe::DelayProbe(const QString& host, quint16 port, int timeoutMs, QObject* parent)
    : QObject(parent) {
    connect(&m_socket, &QTcpSocket::connected, this, [this] { report(Outcome::Connected); });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] { report(Outcome::Failed); });
    connect(&m_timeout, &QTimer::timeout, this, [this] { report(Outcome::TimedOut); });
    m_timeout.setSingleShot(true);
    m_timeout.start(timeoutMs);
    m_clock.start();
    if (host.isEmpty() || port == 0) {
        QMetaObject::invokeMethod(
            this, [this] { report(Outcome::Failed); }, Qt::QueuedConnection);
        return;
    }
    m_socket.connectToHost(host, port);
}

void DelayProbe::report(Outcome outcome) {
    if (m_reported)
        return;
    m_reported = true;
    m_timeout.stop();
    m_socket.abort();
    // A loopback connect takes well under a millisecond; a delay of 0 would read as no answer.
    emit finished(outcome, std::max<qint64>(1, m_clock.elapsed()));
    deleteLater();
}
