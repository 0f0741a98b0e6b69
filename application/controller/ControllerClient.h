#pragma once

#include "config/AppConfig.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

// Nothing on success, else a readable description of the transport failure.
using RequestError = std::optional<QString>;

// Every request to the core's HTTP controller on 127.0.0.1:<apiPort> is built and sent here.
// Each carries "Authorization: Bearer <secret>" and never follows a redirect (the secret goes to
// the core alone); JSON bodies are compact with their content type; each reply is read with a
// size cap and a total deadline, headers included, and is deleted by the request that sent it.
//
// A request reads the client's members before its first suspension only, so the client may go
// away while one is in flight; its result then reads as a failure.
class ControllerClient : public QObject {
    Q_OBJECT
public:
    // The deadline of a request the core answers at once; it only keeps a wedged core from
    // holding a request for ever.
    static constexpr int requestDeadlineMs = 60'000;
    // One delay probe: the core's own measurement may take up to 8 s.
    static constexpr int delayDeadlineMs = 9'000;

    ControllerClient(QNetworkAccessManager* network, qint64 apiPort, QString secret,
                     QObject* parent = nullptr);

    QString baseUrl() const; // "http://127.0.0.1:<apiPort>"

    // Readiness: whether the version endpoint answers 200 within deadlineMs.
    [[nodiscard]] QCoro::Task<bool> probeVersion(int deadlineMs);
    // Switches the running core's mode. Any HTTP answer counts as done.
    [[nodiscard]] QCoro::Task<RequestError> patchMode(ProxyMode mode);
    // Points the core's global selector at the fallback group.
    [[nodiscard]] QCoro::Task<RequestError> selectProxyGroupForGlobal();
    // Makes the core load the configuration file at configPath again.
    [[nodiscard]] QCoro::Task<RequestError> reloadConfig(QString configPath);
    // The core closes every connection it carries.
    [[nodiscard]] QCoro::Task<RequestError> closeAllConnections();
    // The body of the open-connections listing (at most 32 MiB); nothing when the request failed
    // in transport or passed the bound. The HTTP status is not examined: error replies simply do
    // not decode.
    [[nodiscard]] QCoro::Task<std::optional<QByteArray>> connections();
    // The body of one node's delay measurement against the health-check URL.
    [[nodiscard]] QCoro::Task<std::optional<QByteArray>> delay(QString nodeName);

    // The request of the endless traffic stream; its reader owns the reply.
    QNetworkRequest trafficRequest() const;

    // Aborts every request in flight; their results read as failures. Callers that must stay
    // silent afterwards check their own cancellation ticket.
    void abortAll();

signals:
    void abortRequested();

private:
    QNetworkRequest request(const QString& pathAndQuery) const;

    QNetworkAccessManager* m_network;
    qint64 m_apiPort;
    QString m_secret;
};
