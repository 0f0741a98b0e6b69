#include "ControllerConnection.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrl>

namespace {
constexpr qsizetype kMaxHeader = 64 * 1024;
constexpr qsizetype kMaxBody = 1024 * 1024;

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}
} // namespace

ControllerConnection::ControllerConnection(QTcpSocket* socket, QObject* parent)
    : QObject(parent), m_socket(socket) {
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &ControllerConnection::readRequests);
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
}

void ControllerConnection::readRequests() {
    m_buffer += m_socket->readAll();
    while (!m_busy && m_socket->state() == QAbstractSocket::ConnectedState) {
        const qsizetype headerEnd = m_buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            if (m_buffer.size() > kMaxHeader)
                m_socket->abort();
            return;
        }
        const QList<QByteArray> lines = m_buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        ControllerRequest request;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray& line = lines.at(i);
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(),
                                       line.mid(colon + 1).trimmed());
        }
        const qsizetype bodyLength = request.headers.value("content-length", "0").toLongLong();
        if (requestLine.size() != 3 || bodyLength < 0 || bodyLength > kMaxBody) {
            m_closeAfterReply = true;
            m_busy = true;
            send(400, R"({"message":"Body invalid"})");
            return;
        }
        if (m_buffer.size() < headerEnd + 4 + bodyLength)
            return;
        request.body = m_buffer.mid(headerEnd + 4, bodyLength);
        m_buffer.remove(0, headerEnd + 4 + bodyLength);

        request.method = requestLine.at(0).toUpper();
        const QByteArray& target = requestLine.at(1);
        const qsizetype question = target.indexOf('?');
        request.query =
            QUrlQuery(QString::fromUtf8(question < 0 ? QByteArray() : target.mid(question + 1)));
        for (const QByteArray& segment :
             target.left(question < 0 ? target.size() : question).split('/')) {
            if (!segment.isEmpty())
                request.segments << QUrl::fromPercentEncoding(segment);
        }
        request.path = u'/' + request.segments.join(u'/');
        const QByteArray connection = request.headers.value("connection").toLower();
        m_closeAfterReply = connection == "close" ||
                            (requestLine.at(2) == "HTTP/1.0" && connection != "keep-alive");
        m_busy = true;
        emit requestReceived(request, this);
    }
}

void ControllerConnection::reply(int status, const QJsonObject& body) {
    send(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

void ControllerConnection::replyMessage(int status, const QString& message) {
    reply(status, QJsonObject{{QStringLiteral("message"), message}});
}

void ControllerConnection::replyNoContent() {
    send(204, {});
}

void ControllerConnection::send(int status, const QByteArray& body) {
    QByteArray response =
        "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (status != 204) {
        response += "Content-Type: application/json; charset=utf-8\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n";
    }
    if (m_closeAfterReply)
        response += "Connection: close\r\n";
    response += "\r\n" + body;
    m_socket->write(response);
    m_busy = false;
    if (m_closeAfterReply)
        m_socket->disconnectFromHost();
    else if (!m_buffer.isEmpty())
        QMetaObject::invokeMethod(this, &ControllerConnection::readRequests, Qt::QueuedConnection);
}

void ControllerConnection::startStream() {
    m_socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                    "Transfer-Encoding: chunked\r\n\r\n");
}

void ControllerConnection::streamLine(const QByteArray& line) {
    m_socket->write(QByteArray::number(line.size(), 16) + "\r\n" + line + "\r\n");
}
