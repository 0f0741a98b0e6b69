#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

// Requests to the core's HTTP controller on 127.0.0.1:<apiPort>. Every request carries
// "Authorization: Bearer <secret>". Results: nothing on success, else a readable description.
using RequestError = std::optional<QString>;

class CoreApiClient {
public:
    CoreApiClient(QNetworkAccessManager* network, qint64 apiPort, QString secret);

    QString baseUrl() const; // "http://127.0.0.1:<apiPort>"

    // One readiness probe: GET /version answered with 200 within timeoutMs.
    QCoro::Task<bool> probeVersion(int timeoutMs = 1000);
    // PATCH /configs with the given compact JSON body (60 s time-out, status not examined).
    QCoro::Task<RequestError> patchControllerConfigs(QJsonObject body);
    // PUT /proxies/GLOBAL {"name":"PROXY"}.
    QCoro::Task<RequestError> setGlobalProxySelection();
    // PUT /configs?force=true {"path": configPath}.
    QCoro::Task<RequestError> reloadFullConfig(QString configPath);
    // DELETE /connections: the core closes every connection it carries.
    QCoro::Task<RequestError> closeAllConnections();

private:
    QNetworkAccessManager* m_network;
    qint64 m_apiPort;
    QString m_secret;
};
