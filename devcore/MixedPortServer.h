#pragma once

#include <QObject>
#include <QTcpServer>

class ConnectionRegistry;
class Router;

// The HTTP and SOCKS5 proxy port: on 127.0.0.1, or on every interface while LAN access is allowed.
class MixedPortServer : public QObject {
    Q_OBJECT
public:
    MixedPortServer(const Router& router, ConnectionRegistry& registry, QObject* parent = nullptr);

    bool listen(quint16 port, bool allowLan, QString* error);
    // Moves the listener to the other address; open connections stay.
    void setAllowLan(bool allowLan);
    void close();

private:
    void acceptPending();

    const Router& m_router;
    ConnectionRegistry& m_registry;
    QTcpServer m_server;
    quint16 m_port = 0;
    bool m_allowLan = false;
};
