#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

// Measures how long a TCP connect to host:port takes, within a time limit. Deletes itself after
// reporting.
class DelayProbe : public QObject {
    Q_OBJECT
public:
    enum class Outcome { Connected, TimedOut, Failed };

    DelayProbe(const QString& host, quint16 port, int timeoutMs, QObject* parent = nullptr);

signals:
    void finished(DelayProbe::Outcome outcome, qint64 milliseconds);

private:
    void report(Outcome outcome);

    QTcpSocket m_socket;
    QTimer m_timeout;
    QElapsedTimer m_clock;
    bool m_reported = false;
};
