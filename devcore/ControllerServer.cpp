#include "ControllerServer.h"

#include "ControllerApi.h"
#include "ControllerConnection.h"
#include "Log.h"

ControllerServer::ControllerServer(ControllerApi& api, QString secret, QObject* parent)
    : QObject(parent), m_api(api), m_secret(std::move(secret)) {
    connect(&m_server, &QTcpServer::newConnection, this, &ControllerServer::acceptPending);
}

bool ControllerServer::listen(const QString& host, quint16 port, QString* error) {
    QHostAddress address;
    if (host.isEmpty())
        address = QHostAddress::Any;
    else if (host == u"localhost")
        address = QHostAddress::LocalHost;
    else if (!address.setAddress(host)) {
        *error = QStringLiteral("invalid controller address \"%1\"").arg(host);
        return false;
    }
    if (!m_server.listen(address, port)) {
        *error = QStringLiteral("cannot listen on controller %1:%2: %3")
                     .arg(address.toString())
                     .arg(port)
                     .arg(m_server.errorString());
        return false;
    }
    Log::info(QStringLiteral("controller listening on %1:%2").arg(address.toString()).arg(port));
    return true;
}

void ControllerServer::close() {
    m_server.close();
}

void ControllerServer::acceptPending() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        auto* connection = new ControllerConnection(socket, this);
        connect(connection, &ControllerConnection::requestReceived, this,
                &ControllerServer::dispatch);
    }
}

void ControllerServer::dispatch(const ControllerRequest& request,
                                ControllerConnection* connection) {
    if (!m_secret.isEmpty() &&
        request.headers.value("authorization") != "Bearer " + m_secret.toUtf8()) {
        connection->replyMessage(401, QStringLiteral("Unauthorized"));
        return;
    }
    m_api.handle(request, connection);
}
