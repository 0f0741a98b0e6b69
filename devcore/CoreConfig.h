#pragma once

#include "Rules.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

enum class RoutingMode { Rule, Global, Direct };

std::optional<RoutingMode> routingModeFromText(const QString& text); // any letter case
QString routingModeText(RoutingMode mode);

struct ProxyNode {
    QString name;
    QString type;
    QString server;
    quint16 port = 0;
};

struct ProxyGroup {
    QString name;
    QString type;
    QStringList members;
};

// The part of the configuration file this core acts on; everything else is accepted and ignored.
struct CoreConfig {
    quint16 mixedPort = 0;
    bool allowLan = false;
    RoutingMode mode = RoutingMode::Rule;
    QString logLevel = QStringLiteral("info");
    QString controllerHost;
    quint16 controllerPort = 0;
    QString secret;
    bool tunRequested = false;
    std::vector<ProxyNode> proxies;
    std::vector<ProxyGroup> groups;
    std::vector<Rule> rules;
};

struct CoreConfigResult {
    std::optional<CoreConfig> config;
    QString error; // set when config is empty
};

// Reads and checks a configuration; a file that the core cannot run is refused with a reason.
CoreConfigResult loadCoreConfig(const QString& path);
CoreConfigResult parseCoreConfig(const QByteArray& text);
