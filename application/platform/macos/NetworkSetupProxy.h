#pragma once

#include "platform/SystemProxy.h"

#include <QString>
#include <QStringList>

// macOS: the web, secure web and SOCKS proxies of every enabled network service, through
// networksetup.
class NetworkSetupProxy : public SystemProxy {
public:
    explicit NetworkSetupProxy(QString toolPath = QStringLiteral("/usr/sbin/networksetup"));

    void apply(bool enabled, qint64 mixedPort) override;
    bool pointsAt(qint64 mixedPort) override;

    // The enabled services, in listed order; empty when the listing fails.
    QStringList activeNetworkServices() const;

private:
    void runNetworkSetup(const QStringList& arguments) const;

    QString m_tool;
};
