#pragma once

#include "monitoring/MonitoringTypes.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

class QIODevice;
class QNetworkReply;

// The core's endless traffic reply, read line by line as data arrives. Whenever a request
// ends (refused, broken, ended, or dropped for a line over 64 KiB or over 1 MiB unread) it is
// sent again after the retry pause (1 s in the application), for as long as the stream runs.
// At most one request is in flight: start() and stop() abort it and retire the running loop.
class TrafficStream : public QObject {
    Q_OBJECT
public:
    static constexpr int defaultRetryPauseMs = 1000;

    explicit TrafficStream(QNetworkAccessManager* network, int retryPauseMs = defaultRetryPauseMs,
                           QObject* parent = nullptr);
    ~TrafficStream() override;

    // Stops a running stream, then reads `request` anew.
    void start(const QNetworkRequest& request);
    void stop();
    bool isRunning() const { return m_running; }

    // Decodes the complete lines buffered in `device` (at the end of the body also the
    // unterminated rest); a partial line stays in the device until its end arrives.
    // False when the stream was stopped meanwhile (a sample's receiver may stop it) or when a
    // line passed its bound.
    bool consumeLines(QIODevice& device, bool atEnd);

signals:
    void sample(LiveTraffic traffic);
    void requestSent(); // each attempt, for observers that count retries
    void stopped();     // wakes a loop that pauses before its next attempt

private:
    QCoro::Task<> run(quint64 generation, QNetworkRequest request);
    bool isCurrent(quint64 generation) const { return m_running && generation == m_generation; }

    QPointer<QNetworkAccessManager> m_network;
    QPointer<QNetworkReply> m_reply;
    quint64 m_generation = 0;
    bool m_running = false;
    int m_retryPauseMs;
};
