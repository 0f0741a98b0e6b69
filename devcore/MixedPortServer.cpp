#include "MixedPortServer.h"

#include "InboundSession.h"
#include "Log.h"

namespace {
QHostAddress listenAddress(bool allowLan) {
    return allowLan ? QHostAddress(QHostAddress::Any) : QHostAddress(QHostAddress::LocalHost);
}
} // namespace

MixedPortServer::MixedPortServer(const Router& router, ConnectionRegistry& registry,
                                 QObject* parent)
    : QObject(parent), m_router(router), m_registry(registry) {
    connect(&m_server, &QTcpServer::newConnection, this, &MixedPortServer::acceptPending);
}

bool MixedPortServer::listen(quint16 port, bool allowLan, QString* error) {
    m_port = port;
    m_allowLan = allowLan;
    if (!m_server.listen(listenAddress(allowLan), port)) {
        *error = QStringLiteral("cannot listen on mixed port %1: %2")
                     .arg(port)
                     .arg(m_server.errorString());
        return false;
    }
    Log::info(QStringLiteral("mixed port (HTTP and SOCKS5) listening on %1:%2")
                  .arg(m_server.serverAddress().toString())
                  .arg(port));
    return true;
}

void MixedPortServer::setAllowLan(bool allowLan) {
    if (allowLan == m_allowLan || !m_server.isListening())
        return;
    m_server.close();
    QString error;
    if (!listen(m_port, allowLan, &error)) {
        Log::error(error);
        QString ignored;
        listen(m_port, !allowLan, &ignored);
    }
}

void MixedPortServer::close() {
    m_server.close();
}

void MixedPortServer::acceptPending() {
    while (QTcpSocket* socket = m_server.nextPendingConnection())
        new InboundSession(socket, m_router, m_registry, this);
}
