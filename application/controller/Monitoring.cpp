// The controller's monitoring services: traffic stream, recent connections, latency probe, LAN
// address, quota polling and the machine identifier the quota request carries.
#include "controller/MihomoManager.h"

#include "config/CoreNames.h"
#include "controller/ControllerClient.h"
#include "controller/CoreSession.h"
#include "files/PrivateFiles.h"
#include "monitoring/QuotaClient.h"
#include "monitoring/TrafficStream.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUuid>

namespace {

// A device identifier is one UUID; anything much larger is not one.
constexpr qint64 kMaxDeviceIdBytes = 4096;
constexpr int quotaIntervalMs = 30'000;

} // namespace

void MihomoManager::startTrafficStream() {
    if (!m_trafficStream) {
        m_trafficStream = new TrafficStream(m_network, m_env.trafficRetryPauseMs, this);
        m_trafficStream->setObjectName(QStringLiteral("trafficStream"));
        QObject::connect(m_trafficStream, &TrafficStream::sample, this,
                         [this](LiveTraffic traffic) {
                             setUpSpeed(traffic.up);
                             setDownSpeed(traffic.down);
                         });
    }
    m_trafficStream->start(m_session->controller().trafficRequest());
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
    loadConnections(m_connectionTasks);
}

QCoro::Task<> MihomoManager::loadConnections(CancellationTicket ticket) {
    QPointer<MihomoManager> self(this);
    const std::optional<QByteArray> body = co_await m_session->controller().connections();
    if (!self || ticket.isCancelled() || !body)
        co_return;
    if (std::optional<QList<ActiveConnectionItem>> rows = decodeRecentConnections(*body))
        setRecentConnections(*rows);
}

void MihomoManager::testLatency() {
    if (!m_isConnected) {
        setLatencyMs(std::nullopt);
        return;
    }
    measureLatency(m_connectionTasks);
}

// The nodes in the order of the fallback group; the first that answers gives the latency.
QCoro::Task<> MihomoManager::measureLatency(CancellationTicket ticket) {
    QPointer<MihomoManager> self(this);
    for (const char* node : CoreNames::fallbackOrder) {
        if (!m_isConnected)
            break;
        const std::optional<QByteArray> body =
            co_await m_session->controller().delay(QLatin1String(node));
        if (!self || ticket.isCancelled())
            co_return; // disconnected meanwhile: the last figure stays
        if (!body)
            continue;
        if (const std::optional<qint64> delay = decodeDelay(*body)) {
            setLatencyMs(*delay);
            co_return;
        }
    }
    setLatencyMs(std::nullopt);
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
    loadQuota(std::move(*request));
}

QCoro::Task<> MihomoManager::loadQuota(QNetworkRequest request) {
    QPointer<MihomoManager> self(this);
    const QuotaClient::Result result = co_await QuotaClient::fetch(m_network, std::move(request));
    if (!self)
        co_return;
    switch (result.outcome) {
    case QuotaClient::Outcome::NotHttp:
        break;
    case QuotaClient::Outcome::Failed:
        setQuotaError(QStringLiteral("刷新失败"));
        break;
    case QuotaClient::Outcome::BadStatus:
        setQuotaError(QStringLiteral("流量接口返回异常"));
        break;
    case QuotaClient::Outcome::Decoded:
        setQuota(result.quota);
        setQuotaError(QString());
        break;
    }
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
    // The identifier leaves the machine: a link in its place is not read.
    if (const auto bytes = readOwnRegularFile(path, kMaxDeviceIdBytes)) {
        const QString stored = QString::fromUtf8(*bytes).trimmed();
        if (!stored.isEmpty())
            return stored;
    }
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    writeFileAtomically(path, created.toUtf8());
    return created;
}
