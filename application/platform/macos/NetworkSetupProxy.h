#pragma once

#include "platform/SystemProxy.h"

#include <QString>
#include <QStringList>

// macOS: the web, secure web and SOCKS proxies, the bypass domains and the automatic proxy of
// every enabled network service, through networksetup.
class NetworkSetupProxy : public SystemProxy {
public:
    explicit NetworkSetupProxy(QString toolPath = QStringLiteral("/usr/sbin/networksetup"));

    ProxyStores stores() const override;

    // The enabled services, in listed order; empty when the listing fails.
    QStringList activeNetworkServices() const;

private:
    QString m_tool;
};
