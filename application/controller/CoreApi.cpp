#include "controller/CoreApi.h"

#include "monitoring/ReplyWait.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <qcoro/qcoronetworkreply.h>

namespace {

constexpr int kRequestTimeoutMs = 60'000;
// The controller's answers to these requests are a few bytes; more is not read.
constexpr qint64 kMaximumReplyBytes = 64 * 1024;

// Deletes the reply once the awaiting code is done with it; a reply that its manager already
// destroyed is left alone.
struct ReplyHolder {
    QPointer<QNetworkReply> reply;
    ~ReplyHolder() {
        if (reply)
            reply->deleteLater();
    }
};

// Any HTTP answer counts; only transport failures (refused, reset, timed out) are errors.
RequestError transportError(QNetworkReply* reply) {
    if (!reply)
        return QStringLiteral("request aborted");
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return std::nullopt;
    return reply->errorString();
}

} // namespace

CoreApiClient::CoreApiClient(QNetworkAccessManager* network, qint64 apiPort, QString secret)
    : m_network(network), m_apiPort(apiPort), m_secret(std::move(secret)) {}

QString CoreApiClient::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:") + QString::number(m_apiPort);
}

namespace {

// The deadline is not a transfer time-out (that one restarts with every byte, so a controller
// trickling endless headers would hold the request); the callers bound each request in total.
QNetworkRequest makeRequest(const QString& url, const QString& secret) {
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Authorization", "Bearer " + secret.toUtf8());
    // The secret goes to the core alone: a redirect is never followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    return request;
}

// Sends one JSON request and waits for its end. Members of the client are read before the
// first suspension only, so the client may go away while a request is in flight.
QCoro::Task<RequestError> sendJson(QNetworkAccessManager* network, QNetworkRequest request,
                                   QByteArray verb, QJsonObject body) {
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    ReplyHolder holder{network->sendCustomRequest(request, verb, payload)};
    co_await readBounded(holder.reply, kMaximumReplyBytes, kRequestTimeoutMs);
    co_return transportError(holder.reply.data());
}

// Sends one request without a body and waits for its end.
QCoro::Task<RequestError> sendEmpty(QNetworkAccessManager* network, QNetworkRequest request,
                                    QByteArray verb) {
    ReplyHolder holder{network->sendCustomRequest(request, verb)};
    co_await readBounded(holder.reply, kMaximumReplyBytes, kRequestTimeoutMs);
    co_return transportError(holder.reply.data());
}

} // namespace

QCoro::Task<bool> CoreApiClient::probeVersion(int timeoutMs) {
    ReplyHolder holder{
        m_network->get(makeRequest(baseUrl() + QStringLiteral("/version"), m_secret))};
    const BoundedBody received = co_await readBounded(holder.reply, kMaximumReplyBytes, timeoutMs);
    co_return received.alive && !received.tooLarge &&
        holder.reply->error() == QNetworkReply::NoError &&
        holder.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
}

QCoro::Task<RequestError> CoreApiClient::patchControllerConfigs(QJsonObject body) {
    return sendJson(m_network, makeRequest(baseUrl() + QStringLiteral("/configs"), m_secret),
                    "PATCH", std::move(body));
}

QCoro::Task<RequestError> CoreApiClient::setGlobalProxySelection() {
    return sendJson(m_network, makeRequest(baseUrl() + QStringLiteral("/proxies/GLOBAL"), m_secret),
                    "PUT", QJsonObject{{QStringLiteral("name"), QStringLiteral("PROXY")}});
}

QCoro::Task<RequestError> CoreApiClient::reloadFullConfig(QString configPath) {
    return sendJson(m_network,
                    makeRequest(baseUrl() + QStringLiteral("/configs?force=true"), m_secret), "PUT",
                    QJsonObject{{QStringLiteral("path"), configPath}});
}

QCoro::Task<RequestError> CoreApiClient::closeAllConnections() {
    return sendEmpty(m_network, makeRequest(baseUrl() + QStringLiteral("/connections"), m_secret),
                     "DELETE");
}
