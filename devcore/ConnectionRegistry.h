#pragma once

#include "Router.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <set>

// One proxied connection as the controller lists it.
struct ConnectionRecord {
    QString id;
    QString type; // "HTTP", "HTTPS" (CONNECT) or "Socks5"
    QString sourceIP;
    quint16 sourcePort = 0;
    QString destinationIP;
    quint16 destinationPort = 0;
    QString host;
    qint64 upload = 0;
    qint64 download = 0;
    QDateTime start;
    RouteDecision route;

    QJsonObject toJson() const;
};

// Open connections and byte counters; samples the rates once a second for "/traffic".
class ConnectionRegistry : public QObject {
    Q_OBJECT
public:
    explicit ConnectionRegistry(QObject* parent = nullptr);

    void add(const ConnectionRecord* record);
    void remove(const ConnectionRecord* record);
    void countUpload(ConnectionRecord* record, qint64 bytes);
    void countDownload(ConnectionRecord* record, qint64 bytes);

    qint64 uploadTotal() const { return m_uploadTotal; }
    qint64 downloadTotal() const { return m_downloadTotal; }
    QJsonObject snapshot() const;

signals:
    // Bytes in the last second and in total, as one "/traffic" line carries them.
    void sampled(const QByteArray& trafficLine);

private:
    void sample();

    std::set<const ConnectionRecord*> m_open;
    qint64 m_uploadTotal = 0;
    qint64 m_downloadTotal = 0;
    qint64 m_uploadAtLastSample = 0;
    qint64 m_downloadAtLastSample = 0;
    QTimer m_sampler;
};
