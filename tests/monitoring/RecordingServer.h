#pragma once

#include <QByteArray>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QList>
#include <QString>
#include <functional>

// An HTTP server on 127.0.0.1 that records every request and answers it with the reply the
// test chose for its path (default: 200 and "{}").
class RecordingServer {
public:
    struct Request {
        QByteArray method;
        QString target; // path and query, as sent
        QByteArray body;
        QByteArray authorization;
        QByteArray deviceToken;
        QByteArray deviceId;
        bool hasDeviceToken = false;
    };
    struct Reply {
        int status = 200;
        QByteArray body = "{}";
    };
    using Handler = std::function<Reply(const Request&)>;

    RecordingServer() {
        m_server.setMissingHandler(
            [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                Request recorded;
                recorded.method = methodName(request.method());
                recorded.target = QString::fromUtf8(request.url().toEncoded(
                    QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::FullyEncoded));
                recorded.body = request.body();
                for (const auto& [name, value] : request.headers()) {
                    const QByteArray key = name.toLower();
                    if (key == "authorization")
                        recorded.authorization = value;
                    else if (key == "x-device-token") {
                        recorded.deviceToken = value;
                        recorded.hasDeviceToken = true;
                    } else if (key == "x-device-id")
                        recorded.deviceId = value;
                }
                requests.append(recorded);
                const Reply reply = handler ? handler(recorded) : Reply{};
                responder.write(reply.body, "application/json",
                                QHttpServerResponder::StatusCode(reply.status));
            });
        m_port = m_server.listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return m_port; }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

    QList<Request> requests;
    Handler handler;

private:
    static QByteArray methodName(QHttpServerRequest::Method method) {
        switch (method) {
        case QHttpServerRequest::Method::Get:
            return "GET";
        case QHttpServerRequest::Method::Put:
            return "PUT";
        case QHttpServerRequest::Method::Post:
            return "POST";
        case QHttpServerRequest::Method::Patch:
            return "PATCH";
        case QHttpServerRequest::Method::Delete:
            return "DELETE";
        default:
            return "OTHER";
        }
    }

    QHttpServer m_server;
    quint16 m_port = 0;
};
