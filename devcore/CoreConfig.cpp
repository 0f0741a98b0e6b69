#include "CoreConfig.h"

#include "ProxyGraph.h"

#include <QFile>

#include <yaml-cpp/yaml.h>

#include <set>

namespace {

QString text(const YAML::Node& node) {
    return QString::fromStdString(node.as<std::string>());
}

// Accepts "host:port", "[v6]:port" and ":port" (all interfaces).
bool parseListenAddress(const QString& value, QString* host, quint16* port) {
    const int colon = value.lastIndexOf(u':');
    if (colon < 0)
        return false;
    bool ok = false;
    *port = value.mid(colon + 1).toUShort(&ok);
    *host = value.left(colon);
    if (host->startsWith(u'[') && host->endsWith(u']'))
        *host = host->mid(1, host->size() - 2);
    return ok && *port != 0;
}

struct Refusal {
    QString reason;
};

YAML::Node required(const YAML::Node& root, const char* key) {
    const YAML::Node node = root[key];
    if (!node || node.IsNull())
        throw Refusal{QStringLiteral("missing key \"%1\"").arg(QLatin1StringView(key))};
    return node;
}

std::vector<ProxyNode> readProxies(const YAML::Node& list) {
    if (!list.IsSequence())
        throw Refusal{QStringLiteral("\"proxies\" is not a list")};
    std::vector<ProxyNode> proxies;
    for (const YAML::Node& entry : list) {
        if (!entry.IsMap() || !entry["name"])
            throw Refusal{QStringLiteral("a proxy has no name")};
        ProxyNode node;
        node.name = text(entry["name"]);
        if (entry["type"])
            node.type = text(entry["type"]);
        // An empty "server:" is allowed: the node only fails its delay test.
        if (entry["server"] && !entry["server"].IsNull())
            node.server = text(entry["server"]);
        if (entry["port"] && !entry["port"].IsNull())
            node.port = entry["port"].as<quint16>();
        proxies.push_back(node);
    }
    return proxies;
}

std::vector<ProxyGroup> readGroups(const YAML::Node& list) {
    if (!list.IsSequence())
        throw Refusal{QStringLiteral("\"proxy-groups\" is not a list")};
    std::vector<ProxyGroup> groups;
    for (const YAML::Node& entry : list) {
        if (!entry.IsMap() || !entry["name"])
            throw Refusal{QStringLiteral("a proxy group has no name")};
        ProxyGroup group;
        group.name = text(entry["name"]);
        if (entry["type"])
            group.type = text(entry["type"]);
        const YAML::Node members = entry["proxies"];
        if (!members || !members.IsSequence() || members.size() == 0)
            throw Refusal{QStringLiteral("proxy group \"%1\" has no proxies").arg(group.name)};
        for (const YAML::Node& member : members)
            group.members << text(member);
        groups.push_back(group);
    }
    return groups;
}

std::vector<Rule> readRules(const YAML::Node& list) {
    if (!list.IsSequence())
        throw Refusal{QStringLiteral("\"rules\" is not a list")};
    std::vector<Rule> rules;
    for (const YAML::Node& entry : list) {
        QString error;
        auto rule = Rule::parse(text(entry), &error);
        if (!rule)
            throw Refusal{error};
        rules.push_back(std::move(*rule));
    }
    return rules;
}

void checkNames(const CoreConfig& config) {
    std::set<QString> names{QStringLiteral("DIRECT"), QStringLiteral("REJECT"),
                            QStringLiteral("GLOBAL")};
    auto claim = [&](const QString& name) {
        if (!names.insert(name).second)
            throw Refusal{QStringLiteral("proxy name \"%1\" is used twice or reserved").arg(name)};
    };
    for (const ProxyNode& node : config.proxies)
        claim(node.name);
    for (const ProxyGroup& group : config.groups)
        claim(group.name);

    const ProxyGraph graph(config.proxies, config.groups);
    for (const ProxyGroup& group : config.groups) {
        for (const QString& member : group.members) {
            if (!graph.contains(member))
                throw Refusal{QStringLiteral("proxy group \"%1\" names unknown proxy \"%2\"")
                                  .arg(group.name, member)};
        }
        if (graph.chain(group.name).isEmpty())
            throw Refusal{QStringLiteral("proxy group \"%1\" refers to itself").arg(group.name)};
    }
    for (const Rule& rule : config.rules) {
        if (!graph.contains(rule.target()))
            throw Refusal{QStringLiteral("rule \"%1\" names unknown proxy \"%2\"")
                              .arg(rule.text(), rule.target())};
    }
}

CoreConfig readConfig(const YAML::Node& root) {
    if (!root.IsMap())
        throw Refusal{QStringLiteral("the configuration is not a mapping")};
    CoreConfig config;
    config.mixedPort = required(root, "mixed-port").as<quint16>();
    if (config.mixedPort == 0)
        throw Refusal{QStringLiteral("\"mixed-port\" must not be 0")};
    const QString controller = text(required(root, "external-controller"));
    if (!parseListenAddress(controller, &config.controllerHost, &config.controllerPort))
        throw Refusal{QStringLiteral("invalid \"external-controller\" \"%1\"").arg(controller)};
    const YAML::Node proxies = required(root, "proxies");
    const YAML::Node groups = required(root, "proxy-groups");
    const YAML::Node rules = required(root, "rules");

    if (root["allow-lan"] && !root["allow-lan"].IsNull())
        config.allowLan = root["allow-lan"].as<bool>();
    if (root["mode"] && !root["mode"].IsNull()) {
        const auto mode = routingModeFromText(text(root["mode"]));
        if (!mode)
            throw Refusal{QStringLiteral("unknown mode \"%1\"").arg(text(root["mode"]))};
        config.mode = *mode;
    }
    if (root["log-level"] && !root["log-level"].IsNull())
        config.logLevel = text(root["log-level"]).toLower();
    if (root["secret"] && !root["secret"].IsNull())
        config.secret = text(root["secret"]);
    const YAML::Node tun = root["tun"];
    config.tunRequested = tun && tun.IsMap() && tun["enable"] && tun["enable"].as<bool>();

    config.proxies = readProxies(proxies);
    config.groups = readGroups(groups);
    config.rules = readRules(rules);
    checkNames(config);
    return config;
}

} // namespace

std::optional<RoutingMode> routingModeFromText(const QString& value) {
    const QString lower = value.trimmed().toLower();
    if (lower == u"rule")
        return RoutingMode::Rule;
    if (lower == u"global")
        return RoutingMode::Global;
    if (lower == u"direct")
        return RoutingMode::Direct;
    return std::nullopt;
}

QString routingModeText(RoutingMode mode) {
    switch (mode) {
    case RoutingMode::Rule:
        return QStringLiteral("rule");
    case RoutingMode::Global:
        return QStringLiteral("global");
    case RoutingMode::Direct:
        return QStringLiteral("direct");
    }
    return {};
}

CoreConfigResult parseCoreConfig(const QByteArray& content) {
    try {
        return {readConfig(YAML::Load(content.toStdString())), {}};
    } catch (const Refusal& refusal) {
        return {std::nullopt, refusal.reason};
    } catch (const YAML::Exception& error) {
        return {
            std::nullopt,
            QStringLiteral("invalid configuration: %1").arg(QString::fromStdString(error.what()))};
    }
}

CoreConfigResult loadCoreConfig(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    return parseCoreConfig(file.readAll());
}
