#pragma once

#include "Router.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <map>

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

    // `close` ends the connection (both sockets); it is called at most once, from close() or
    // closeAll(), and the record is removed when its owner goes.
    void add(const ConnectionRecord* record, std::function<void()> close);
    void remove(const ConnectionRecord* record);
    void countUpload(ConnectionRecord* record, qint64 bytes);
    void countDownload(ConnectionRecord* record, qint64 bytes);

    qint64 uploadTotal() const { return m_uploadTotal; }
    qint64 downloadTotal() const { return m_downloadTotal; }
    QJsonObject snapshot() const;
    void close(const QString& id);
    void closeAll();

signals:
    // Bytes in the last second and in total, as one "/traffic" line carries them.
    void sampled(const QByteArray& trafficLine);

private:
    void sample();

    std::map<const ConnectionRecord*, std::function<void()>> m_open;
    qint64 m_uploadTotal = 0;
    qint64 m_downloadTotal = 0;
    qint64 m_uploadAtLastSample = 0;
    qint64 m_downloadAtLastSample = 0;
    QTimer m_sampler;
};
