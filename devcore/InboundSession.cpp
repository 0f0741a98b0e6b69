#include "InboundSession.h"

#include <QPointer>

#include "Log.h"
#include "Relay.h"
#include "Router.h"

#include <QPointer>
#include <QTcpSocket>
#include <QUrl>
#include <QUuid>

namespace {
constexpr qsizetype kMaxHeader = 64 * 1024;
constexpr int kConnectTimeoutMs = 10000;

Destination destinationFor(const QString& hostOrAddress, quint16 port) {
    Destination destination;
    destination.port = port;
    QString host = hostOrAddress;
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    if (!destination.address.setAddress(host))
        destination.host = host;
    return destination;
}

// "host:port" or "[v6]:port" of a CONNECT request.
std::optional<Destination> parseAuthority(const QString& authority) {
    const int colon = authority.lastIndexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    bool ok = false;
    const quint16 port = authority.mid(colon + 1).toUShort(&ok);
    if (!ok || port == 0)
        return std::nullopt;
    return destinationFor(authority.left(colon), port);
}

bool isHopByHop(const QByteArray& headerLine) {
    const QByteArray name = headerLine.left(headerLine.indexOf(':')).trimmed().toLower();
    return name == "proxy-connection" || name == "proxy-authorization" || name == "connection" ||
           name == "keep-alive";
}
} // namespace

InboundSession::InboundSession(QTcpSocket* client, const Router& router,
                               ConnectionRegistry& registry, QObject* parent)
    : QObject(parent), m_client(client), m_router(router), m_registry(registry) {
    m_client->setParent(this);
    m_record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_record.sourceIP = client->peerAddress().toString();
    m_record.sourcePort = client->peerPort();
    connect(m_client, &QTcpSocket::readyRead, this, &InboundSession::onClientData);
    connect(m_client, &QTcpSocket::disconnected, this, [this] {
        if (m_phase != Phase::Relaying)
            finish();
    });
    m_connectTimer.setSingleShot(true);
    m_connectTimer.setInterval(kConnectTimeoutMs);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] { fail(Failure::Unreachable); });
    onClientData();
}

InboundSession::~InboundSession() {
    if (m_registered)
        m_registry.remove(&m_record);
}

void InboundSession::onClientData() {
    m_buffer += m_client->readAll();
    if (m_phase == Phase::Greeting && !m_buffer.isEmpty())
        m_phase = m_buffer.at(0) == 0x05 ? Phase::SocksMethods : Phase::HttpHeader;
    // Each step returns false until its message is complete or the session is over.
    if (m_phase == Phase::SocksMethods && !readSocksMethods())
        return;
    if (m_phase == Phase::SocksRequest && !readSocksRequest())
        return;
    if (m_phase == Phase::HttpHeader)
        readHttpHeader();
}

bool InboundSession::readSocksMethods() {
    if (m_buffer.size() < 2 || m_buffer.size() < 2 + quint8(m_buffer.at(1)))
        return false;
    const QByteArray methods = m_buffer.mid(2, quint8(m_buffer.at(1)));
    m_buffer.remove(0, 2 + methods.size());
    if (!methods.contains('\0')) {
        m_client->write(QByteArray("\x05\xff", 2));
        m_client->disconnectFromHost();
        return false;
    }
    m_client->write(QByteArray("\x05\x00", 2));
    m_phase = Phase::SocksRequest;
    m_protocol = Protocol::Socks5;
    return true;
}

bool InboundSession::readSocksRequest() {
    if (m_buffer.size() < 5)
        return false;
    const auto* bytes = reinterpret_cast<const quint8*>(m_buffer.constData());
    qsizetype addressLength = 0;
    switch (bytes[3]) {
    case 0x01:
        addressLength = 4;
        break;
    case 0x03:
        addressLength = 1 + bytes[4];
        break;
    case 0x04:
        addressLength = 16;
        break;
    default:
        fail(Failure::Unsupported);
        return false;
    }
    const qsizetype length = 4 + addressLength + 2;
    if (m_buffer.size() < length)
        return false;
    if (bytes[0] != 0x05 || bytes[1] != 0x01) { // CONNECT only
        fail(Failure::Unsupported);
        return false;
    }
    const quint16 port = quint16(bytes[length - 2] << 8 | bytes[length - 1]);
    QString host;
    if (bytes[3] == 0x01) {
        host = QHostAddress(quint32(bytes[4] << 24 | bytes[5] << 16 | bytes[6] << 8 | bytes[7]))
                   .toString();
    } else if (bytes[3] == 0x04) {
        host = QHostAddress(bytes + 4).toString();
    } else {
        host = QString::fromLatin1(m_buffer.mid(5, bytes[4]));
    }
    m_upstreamPreface = m_buffer.mid(length);
    m_buffer.clear();
    m_record.type = QStringLiteral("Socks5");
    dispatch(destinationFor(host, port));
    return false;
}

bool InboundSession::readHttpHeader() {
    const qsizetype end = m_buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_buffer.size() > kMaxHeader)
            fail(Failure::BadRequest);
        return false;
    }
    const QList<QByteArray> lines = m_buffer.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    const QByteArray rest = m_buffer.mid(end + 4);
    m_buffer.clear();
    if (requestLine.size() != 3) {
        fail(Failure::BadRequest);
        return false;
    }
    const QByteArray& method = requestLine.at(0);
    if (method == "CONNECT") {
        const auto destination = parseAuthority(QString::fromLatin1(requestLine.at(1)));
        if (!destination) {
            fail(Failure::BadRequest);
            return false;
        }
        m_protocol = Protocol::HttpConnect;
        m_record.type = QStringLiteral("HTTPS");
        m_upstreamPreface = rest;
        dispatch(*destination);
        return false;
    }

    const QUrl url = QUrl::fromEncoded(requestLine.at(1), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().toLower() != u"http" || url.host().isEmpty()) {
        fail(Failure::BadRequest);
        return false;
    }
    // The destination sees an origin-form request and closes after one response, so a client
    // reusing this connection for another host cannot end up at the first one.
    QByteArray target =
        url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!target.startsWith('/'))
        target.prepend('/');
    QByteArray head = method + ' ' + target + ' ' + requestLine.at(2) + "\r\n";
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (!line.isEmpty() && !isHopByHop(line))
            head += line + "\r\n";
    }
    head += "Connection: close\r\n\r\n";
    m_protocol = Protocol::HttpPlain;
    m_record.type = QStringLiteral("HTTP");
    m_upstreamPreface = head + rest;
    dispatch(destinationFor(url.host(), quint16(url.port(80))));
    return false;
}

void InboundSession::dispatch(const Destination& requested) {
    m_phase = Phase::Connecting;
    // Rules may ask where the client connects from (a program here or a machine on the LAN).
    Destination destination = requested;
    destination.source = m_client->peerAddress();
    bool mapped = false;
    if (const quint32 v4 = destination.source.toIPv4Address(&mapped); mapped)
        destination.source = QHostAddress(v4);
    if (const quint32 v4 = destination.address.toIPv4Address(&mapped); mapped)
        destination.address = QHostAddress(v4);
    m_record.host = destination.host;
    m_record.destinationIP =
        destination.address.isNull() ? QString() : destination.address.toString();
    m_record.destinationPort = destination.port;
    m_record.route = m_router.route(destination);
    if (Log::verbose()) {
        Log::info(QStringLiteral("[TCP] %1:%2 --> %3:%4 match %5(%6) using %7")
                      .arg(m_record.sourceIP)
                      .arg(m_record.sourcePort)
                      .arg(destination.host.isEmpty() ? m_record.destinationIP : destination.host)
                      .arg(destination.port)
                      .arg(m_record.route.rule, m_record.route.rulePayload,
                           m_record.route.chains.join(u'/')));
    }
    if (m_record.route.reject) {
        fail(Failure::Rejected);
        return;
    }
    // Whatever the target, the development core connects directly: it speaks no node protocol.
    m_upstream = new QTcpSocket(this);
    connect(m_upstream, &QTcpSocket::connected, this, &InboundSession::onUpstreamConnected);
    connect(m_upstream, &QTcpSocket::errorOccurred, this, [this] {
        if (m_phase == Phase::Connecting)
            onUpstreamFailed();
    });
    m_connectTimer.start();
    if (destination.address.isNull())
        m_upstream->connectToHost(destination.host, destination.port);
    else
        m_upstream->connectToHost(destination.address, destination.port);
}

void InboundSession::onUpstreamConnected() {
    m_connectTimer.stop();
    m_phase = Phase::Relaying;
    m_upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_record.destinationIP = m_upstream->peerAddress().toString();
    m_record.start = QDateTime::currentDateTimeUtc();
    m_registry.add(&m_record, [session = QPointer<InboundSession>(this)] {
        if (session)
            session->close();
    });
    m_registered = true;

    if (m_protocol == Protocol::Socks5)
        m_client->write(QByteArray("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    else if (m_protocol == Protocol::HttpConnect)
        m_client->write("HTTP/1.1 200 Connection established\r\n\r\n");
    if (!m_upstreamPreface.isEmpty()) {
        m_upstream->write(m_upstreamPreface);
        m_registry.countUpload(&m_record, m_upstreamPreface.size());
        m_upstreamPreface.clear();
    }
    disconnect(m_client, &QTcpSocket::readyRead, this, &InboundSession::onClientData);
    m_relay = new Relay(m_client, m_upstream, this);
    connect(m_relay, &Relay::uploaded, this,
            [this](qint64 bytes) { m_registry.countUpload(&m_record, bytes); });
    connect(m_relay, &Relay::downloaded, this,
            [this](qint64 bytes) { m_registry.countDownload(&m_record, bytes); });
    connect(m_relay, &Relay::finished, this, &InboundSession::finish);
    m_relay->start();
}

void InboundSession::onUpstreamFailed() {
    const auto error = m_upstream->error();
    if (error == QAbstractSocket::ConnectionRefusedError)
        fail(Failure::Refused);
    else
        fail(Failure::Unreachable);
}

void InboundSession::fail(Failure failure) {
    m_connectTimer.stop();
    if (m_protocol == Protocol::Socks5 && m_phase != Phase::SocksMethods) {
        char code = 0x01;
        switch (failure) {
        case Failure::Rejected:
            code = 0x02;
            break;
        case Failure::Refused:
            code = 0x05;
            break;
        case Failure::Unreachable:
            code = 0x04;
            break;
        case Failure::Unsupported:
            code = 0x07;
            break;
        case Failure::BadRequest:
            code = 0x01;
            break;
        }
        m_client->write(QByteArray("\x05", 1) + code +
                        QByteArray("\x00\x01\x00\x00\x00\x00\x00\x00", 8));
    } else if (m_protocol != Protocol::Socks5) {
        switch (failure) {
        case Failure::Rejected:
            m_client->write(
                "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            break;
        case Failure::Refused:
        case Failure::Unreachable:
            m_client->write(
                "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            break;
        case Failure::BadRequest:
        case Failure::Unsupported:
            m_client->write(
                "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            break;
        }
    }
    if (m_upstream)
        m_upstream->abort();
    m_phase = Phase::Greeting; // nothing more is read from this client
    disconnect(m_client, &QTcpSocket::readyRead, this, &InboundSession::onClientData);
    if (m_client->state() == QAbstractSocket::UnconnectedState)
        finish();
    else
        m_client->disconnectFromHost();
}

void InboundSession::close() {
    // As the real core does: both sides are cut, the client sees its connection end.
    m_client->abort();
    if (m_upstream)
        m_upstream->abort();
    finish();
}

void InboundSession::finish() {
    deleteLater();
}
