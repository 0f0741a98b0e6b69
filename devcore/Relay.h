#pragma once

#include <QObject>

class QTcpSocket;

// Copies bytes both ways between two connected sockets in large chunks, holding back a side
// while the other has plenty unsent, and ends once both are closed.
class Relay : public QObject {
    Q_OBJECT
public:
    Relay(QTcpSocket* client, QTcpSocket* upstream, QObject* parent = nullptr);
    void start();

signals:
    void uploaded(qint64 bytes);   // client to upstream
    void downloaded(qint64 bytes); // upstream to client
    void finished();

private:
    void pump(QTcpSocket* from, QTcpSocket* to);
    void onClosed(QTcpSocket* closed, QTcpSocket* other);
    void count(QTcpSocket* from, qint64 bytes);

    QTcpSocket* m_client;
    QTcpSocket* m_upstream;
    bool m_finished = false;
};
