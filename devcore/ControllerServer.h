#pragma once

#include <QObject>
#include <QTcpServer>

class ControllerApi;
class ControllerConnection;
struct ControllerRequest;

// Listens on the "external-controller" address and lets only requests with the right bearer
// token through to the API when a secret is configured.
class ControllerServer : public QObject {
    Q_OBJECT
public:
    ControllerServer(ControllerApi& api, QString secret, QObject* parent = nullptr);

    bool listen(const QString& host, quint16 port, QString* error);
    void close();

private:
    void acceptPending();
    void dispatch(const ControllerRequest& request, ControllerConnection* connection);

    ControllerApi& m_api;
    QString m_secret;
    QTcpServer m_server;
};
