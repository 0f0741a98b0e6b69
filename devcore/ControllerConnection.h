#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QUrlQuery>

class QTcpSocket;

struct ControllerRequest {
    QByteArray method;
    QString path; // percent-decoded segments joined by "/"
    QStringList segments;
    QUrlQuery query;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

// One HTTP/1.1 client of the controller: reads requests one at a time and lets the handler
// answer now, later (delay tests), or with an endless chunked body ("/traffic").
class ControllerConnection : public QObject {
    Q_OBJECT
public:
    explicit ControllerConnection(QTcpSocket* socket, QObject* parent = nullptr);

    void reply(int status, const QJsonObject& body);
    void replyMessage(int status, const QString& message); // {"message": text}
    void replyNoContent();
    void startStream();
    void streamLine(const QByteArray& line);

signals:
    void requestReceived(const ControllerRequest& request, ControllerConnection* connection);

private:
    void readRequests();
    void send(int status, const QByteArray& body);

    QTcpSocket* m_socket;
    QByteArray m_buffer;
    bool m_busy = false; // a request awaits its reply
    bool m_closeAfterReply = false;
};
