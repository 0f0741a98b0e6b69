#include "controller/ControllerClient.h"

#include "config/CoreNames.h"
#include "monitoring/ReplyWait.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QUrl>

namespace {

// The answers to commands are a few bytes; more is not read.
constexpr qint64 kMaximumCommandReplyBytes = 64 * 1024;
// The core lists every open connection; past this the reply is not read on.
constexpr qint64 kMaximumConnectionsBytes = 32 * 1024 * 1024;

// The one owner of a reply: ties it to the client's abort, reads it within its bounds and deletes
// it afterwards. A reply whose access manager went first is left to it.
class PendingReply {
public:
    PendingReply(QNetworkReply* reply, const ControllerClient* client) : m_reply(reply) {
        // A reply that failed already finishes by itself; aborting it would report twice.
        if (reply)
            QObject::connect(client, &ControllerClient::abortRequested, reply, [reply] {
                if (!reply->isFinished() && reply->error() == QNetworkReply::NoError)
                    reply->abort();
            });
    }
    PendingReply(const PendingReply&) = delete;
    PendingReply& operator=(const PendingReply&) = delete;
    ~PendingReply() {
        if (m_reply)
            m_reply->deleteLater();
    }

    QCoro::Task<> read(qint64 maxBytes, int deadlineMs) {
        m_received = co_await readBounded(m_reply, maxBytes, deadlineMs);
    }
    // An HTTP answer arrived within the bounds (transport failures have no status).
    bool answered() const {
        return m_received.alive && !m_received.tooLarge && m_reply &&
               m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    }
    // The HTTP status of a reply that arrived whole; 0 otherwise.
    int status() const {
        if (!answered() || m_reply->error() != QNetworkReply::NoError)
            return 0;
        return m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    RequestError transportError() const {
        if (!m_received.alive || !m_reply)
            return QStringLiteral("request aborted");
        if (m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
            return std::nullopt;
        return m_reply->errorString();
    }
    const QByteArray& body() const { return m_received.body; }

private:
    QPointer<QNetworkReply> m_reply;
    BoundedBody m_received;
};

QCoro::Task<RequestError> sendJson(QNetworkAccessManager* network, const ControllerClient* client,
                                   QNetworkRequest request, QByteArray verb, QJsonObject body) {
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    PendingReply reply(network->sendCustomRequest(request, verb, payload), client);
    co_await reply.read(kMaximumCommandReplyBytes, ControllerClient::requestDeadlineMs);
    co_return reply.transportError();
}

QCoro::Task<RequestError> sendEmpty(QNetworkAccessManager* network, const ControllerClient* client,
                                    QNetworkRequest request, QByteArray verb) {
    PendingReply reply(network->sendCustomRequest(request, verb), client);
    co_await reply.read(kMaximumCommandReplyBytes, ControllerClient::requestDeadlineMs);
    co_return reply.transportError();
}

QCoro::Task<std::optional<QByteArray>> fetchBody(QNetworkAccessManager* network,
                                                 const ControllerClient* client,
                                                 QNetworkRequest request, qint64 maxBytes,
                                                 int deadlineMs) {
    PendingReply reply(network->get(request), client);
    co_await reply.read(maxBytes, deadlineMs);
    if (!reply.answered())
        co_return std::nullopt;
    co_return reply.body();
}

QCoro::Task<bool> probe(QNetworkAccessManager* network, const ControllerClient* client,
                        QNetworkRequest request, int deadlineMs) {
    PendingReply reply(network->get(request), client);
    co_await reply.read(kMaximumCommandReplyBytes, deadlineMs);
    co_return reply.status() == 200;
}

} // namespace

ControllerClient::ControllerClient(QNetworkAccessManager* network, qint64 apiPort, QString secret,
                                   QObject* parent)
    : QObject(parent), m_network(network), m_apiPort(apiPort), m_secret(std::move(secret)) {}

QString ControllerClient::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:") + QString::number(m_apiPort);
}

QNetworkRequest ControllerClient::request(const QString& pathAndQuery) const {
    QNetworkRequest request{QUrl(baseUrl() + pathAndQuery, QUrl::StrictMode)};
    request.setRawHeader("Authorization", "Bearer " + m_secret.toUtf8());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    return request;
}

QCoro::Task<bool> ControllerClient::probeVersion(int deadlineMs) {
    return probe(m_network, this, request(QStringLiteral("/version")), deadlineMs);
}

QCoro::Task<RequestError> ControllerClient::patchMode(ProxyMode mode) {
    return sendJson(m_network, this, request(QStringLiteral("/configs")), "PATCH",
                    QJsonObject{{QStringLiteral("mode"), rawValue(mode)}});
}

QCoro::Task<RequestError> ControllerClient::selectProxyGroupForGlobal() {
    return sendJson(m_network, this,
                    request(QStringLiteral("/proxies/") + QLatin1String(CoreNames::globalGroup)),
                    "PUT",
                    QJsonObject{{QStringLiteral("name"), QLatin1String(CoreNames::proxyGroup)}});
}

QCoro::Task<RequestError> ControllerClient::reloadConfig(QString configPath) {
    return sendJson(m_network, this, request(QStringLiteral("/configs?force=true")), "PUT",
                    QJsonObject{{QStringLiteral("path"), configPath}});
}

QCoro::Task<RequestError> ControllerClient::closeAllConnections() {
    return sendEmpty(m_network, this, request(QStringLiteral("/connections")), "DELETE");
}

QCoro::Task<std::optional<QByteArray>> ControllerClient::connections() {
    return fetchBody(m_network, this, request(QStringLiteral("/connections")),
                     kMaximumConnectionsBytes, requestDeadlineMs);
}

QCoro::Task<std::optional<QByteArray>> ControllerClient::delay(QString nodeName) {
    return fetchBody(m_network, this,
                     request(QStringLiteral("/proxies/") + nodeName +
                             QStringLiteral("/delay?timeout=8000&url=") +
                             CoreNames::healthCheckUrl()),
                     kMaximumCommandReplyBytes, delayDeadlineMs);
}

QNetworkRequest ControllerClient::trafficRequest() const {
    return request(QStringLiteral("/traffic"));
}

void ControllerClient::abortAll() {
    emit abortRequested();
}
