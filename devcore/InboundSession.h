#pragma once

#include "ConnectionRegistry.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QTcpSocket;
class Relay;
class Router;

// One client of the mixed port: tells HTTP from SOCKS5 by the first byte, learns the destination,
// routes it, connects directly and hands both sockets to a Relay. Deletes itself when done.
class InboundSession : public QObject {
    Q_OBJECT
public:
    InboundSession(QTcpSocket* client, const Router& router, ConnectionRegistry& registry,
                   QObject* parent = nullptr);
    ~InboundSession() override;

    // Ends the relayed connection at once (the controller's DELETE /connections).
    void close();

private:
    enum class Phase { Greeting, SocksMethods, SocksRequest, HttpHeader, Connecting, Relaying };
    enum class Protocol { Socks5, HttpConnect, HttpPlain };
    enum class Failure { Rejected, Refused, Unreachable, BadRequest, Unsupported };

    void onClientData();
    bool readSocksMethods();
    bool readSocksRequest();
    bool readHttpHeader();
    void dispatch(const Destination& destination);
    void onUpstreamConnected();
    void onUpstreamFailed();
    void fail(Failure failure);
    void finish();

    QTcpSocket* m_client;
    QTcpSocket* m_upstream = nullptr;
    Relay* m_relay = nullptr;
    const Router& m_router;
    ConnectionRegistry& m_registry;
    Phase m_phase = Phase::Greeting;
    Protocol m_protocol = Protocol::HttpPlain;
    QByteArray m_buffer;          // client bytes not yet consumed by the handshake
    QByteArray m_upstreamPreface; // what goes to the destination before relaying starts
    ConnectionRecord m_record;
    bool m_registered = false;
    QTimer m_connectTimer;
};
