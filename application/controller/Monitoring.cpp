// The controller's monitoring services: traffic stream, recent connections, latency probe, LAN
// address, quota polling and the machine identifier the quota request carries.
#include "controller/MihomoManager.h"

#include "config/Deployment.h"
#include "config/SettingsStore.h"
#include "monitoring/QuotaClient.h"
#include "monitoring/ReplyWait.h"
#include "monitoring/TrafficStream.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <memory>

namespace {

// The names the generated configuration gives its nodes, in the order of its fallback group.
const char* const latencyNodeNames[] = {"CloudCone-LA-CF", "CloudCone-LA-HY2", "CloudCone-LA"};
constexpr int latencyTimeoutMs = 9000;
// The core answers at once; the bound only keeps a wedged core from holding a request forever.
constexpr int connectionsTimeoutMs = 60'000;
constexpr int quotaIntervalMs = 30'000;

using ReplyPointer = std::unique_ptr<QNetworkReply, ReplyDeleter>;

// A request to the core's controller; nothing when the text is no valid URL.
std::optional<QNetworkRequest> controllerRequest(qint64 apiPort, const QString& secret,
                                                 const QString& pathAndQuery) {
    const QUrl url(QStringLiteral("http://127.0.0.1:") + QString::number(apiPort) + pathAndQuery,
                   QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + secret.toUtf8());
    return request;
}

// Waits for the reply; nothing when it was lost or failed in transport. The HTTP status is not
// examined: the core's error replies simply do not decode.
QCoro::Task<std::optional<QByteArray>> replyBody(ReplyPointer& reply, int deadlineMs) {
    const bool finished = co_await finishedWithin(reply.get(), deadlineMs);
    if (!finished) {
        (void)reply.release(); // destroyed with its access manager
        co_return std::nullopt;
    }
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        co_return std::nullopt;
    co_return reply->readAll();
}

QCoro::Task<> publishConnections(QPointer<MihomoManager> manager, ReplyPointer reply) {
    const std::optional<QByteArray> body = co_await replyBody(reply, connectionsTimeoutMs);
    if (!manager || !body)
        co_return;
    if (std::optional<QList<ActiveConnectionItem>> rows = decodeRecentConnections(*body))
        manager->setRecentConnections(*rows);
}

QCoro::Task<> probeLatency(QPointer<MihomoManager> manager, QNetworkAccessManager* network) {
    const QString healthCheck = QStringLiteral("http://") + QLatin1String(Deployment::checkHost) +
                                QStringLiteral("/generate_204");
    for (const char* name : latencyNodeNames) {
        if (!manager || !manager->isConnected())
            break;
        const std::optional<QNetworkRequest> request =
            controllerRequest(manager->apiPort(), manager->controllerSecret(),
                              QStringLiteral("/proxies/") + QLatin1String(name) +
                                  QStringLiteral("/delay?timeout=8000&url=") + healthCheck);
        if (!request)
            continue;
        ReplyPointer reply(network->get(*request));
        const std::optional<QByteArray> body = co_await replyBody(reply, latencyTimeoutMs);
        if (!manager)
            co_return;
        if (!body)
            continue;
        if (const std::optional<qint64> delay = decodeDelay(*body)) {
            manager->setLatencyMs(*delay);
            co_return;
        }
    }
    if (manager)
        manager->setLatencyMs(std::nullopt);
}

QCoro::Task<> publishQuota(QPointer<MihomoManager> manager, QNetworkAccessManager* network,
                           QNetworkRequest request) {
    const QuotaClient::Result result = co_await QuotaClient::fetch(network, std::move(request));
    if (!manager)
        co_return;
    switch (result.outcome) {
    case QuotaClient::Outcome::NotHttp:
        break;
    case QuotaClient::Outcome::Failed:
        manager->setQuotaError(QStringLiteral("刷新失败"));
        break;
    case QuotaClient::Outcome::BadStatus:
        manager->setQuotaError(QStringLiteral("流量接口返回异常"));
        break;
    case QuotaClient::Outcome::Decoded:
        manager->setQuota(result.quota);
        manager->setQuotaError(QString());
        break;
    }
}

} // namespace

void MihomoManager::startTrafficStream() {
    const std::optional<QNetworkRequest> request =
        controllerRequest(apiPort(), m_secret, QStringLiteral("/traffic"));
    if (!request)
        return;
    if (!m_trafficStream) {
        m_trafficStream = new TrafficStream(m_network, this);
        m_trafficStream->setObjectName(QStringLiteral("trafficStream"));
        QObject::connect(m_trafficStream, &TrafficStream::sample, this,
                         [this](LiveTraffic traffic) {
                             setUpSpeed(traffic.up);
                             setDownSpeed(traffic.down);
                         });
    }
    m_trafficStream->start(*request);
}

void MihomoManager::stopTrafficStream() {
    if (m_trafficStream)
        m_trafficStream->stop();
}

void MihomoManager::refreshConnections() {
    if (!m_isConnected) {
        setRecentConnections({});
        return;
    }
    const std::optional<QNetworkRequest> request =
        controllerRequest(apiPort(), m_secret, QStringLiteral("/connections"));
    if (!request)
        return;
    publishConnections(this, ReplyPointer(m_network->get(*request)));
}

void MihomoManager::testLatency() {
    if (!m_isConnected) {
        setLatencyMs(std::nullopt);
        return;
    }
    probeLatency(this, m_network);
}

std::optional<QString> MihomoManager::localIPv4Address() const {
    if (!m_env.platform.interfaces)
        return std::nullopt;
    return firstLanIPv4(m_env.platform.interfaces(), m_env.platform.lanInterfacePrefixes);
}

void MihomoManager::refreshQuota() {
    std::optional<QNetworkRequest> request = QuotaClient::buildRequest(
        m_config.resolvedApiBaseURL(), m_config.deviceToken, hardwareDeviceID());
    if (!request)
        return;
    publishQuota(this, m_network, std::move(*request));
}

void MihomoManager::startQuotaPolling() {
    refreshQuota();
    delete m_quotaTimer;
    m_quotaTimer = new QTimer(this);
    m_quotaTimer->setObjectName(QStringLiteral("quotaTimer"));
    m_quotaTimer->setInterval(quotaIntervalMs);
    // The timer is the controller's child: it cannot outlive it.
    QObject::connect(m_quotaTimer, &QTimer::timeout, this, &MihomoManager::refreshQuota);
    m_quotaTimer->start();
}

QString MihomoManager::hardwareDeviceID() const {
    if (const MachineIdentity* identity = m_env.platform.machineIdentity.get()) {
        const QString platformId = identity->platformId();
        if (!platformId.isEmpty())
            return platformId;
    }
    const QString path = m_env.paths.deviceIdFile();
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QString stored = QString::fromUtf8(file.readAll()).trimmed();
        if (!stored.isEmpty())
            return stored;
    }
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    writeFileAtomically(path, created.toUtf8());
    return created;
}
