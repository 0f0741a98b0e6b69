#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>

// An HTTP server on a loopback address that writes whatever bytes the test chooses for each
// request (head and body as one text, sent at once; the connection stays open unless the text
// says otherwise), and keeps each request's head. For replies no well-behaved server sends.
class RawHttpServer : public QObject {
public:
    using Answer = std::function<QByteArray(const QByteArray& head)>;

    explicit RawHttpServer(Answer answer,
                           const QHostAddress& address = QHostAddress(QHostAddress::LocalHost))
        : m_answer(std::move(answer)) {
        m_server.listen(address, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    const QByteArray head =
                        socket->property("head").toByteArray() + socket->readAll();
                    socket->setProperty("head", head);
                    if (!head.contains("\r\n\r\n"))
                        return;
                    socket->setProperty("head", QByteArray());
                    heads.append(head);
                    socket->write(m_answer(head));
                });
                QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    ++closedConnections;
                    socket->deleteLater();
                });
            }
        });
    }

    bool isListening() const { return m_server.isListening(); }
    QString baseUrl() const {
        return QStringLiteral("http://%1:%2")
            .arg(m_server.serverAddress().toString())
            .arg(m_server.serverPort());
    }

    QList<QByteArray> heads;
    int closedConnections = 0; // closed by the client

private:
    Answer m_answer;
    QTcpServer m_server;
};
