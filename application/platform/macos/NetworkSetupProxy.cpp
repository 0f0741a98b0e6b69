#include "platform/macos/NetworkSetupProxy.h"
#include "platform/ToolProcess.h"

#include <QJsonArray>
#include <QStringDecoder>

namespace {
const QString kLoopback = QStringLiteral("127.0.0.1");
const QStringList kBypass = {QStringLiteral("127.0.0.1"), QStringLiteral("localhost"),
                             QStringLiteral("*.local"), QStringLiteral("127.0.0.0/8"),
                             QStringLiteral("::1")};
const QString kAutoProxy = QStringLiteral("autoproxy");
const QString kBypassKey = QStringLiteral("bypass");

QString decodedUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

// One of the three proxies of a service, with the commands that get and set it.
struct ProxyKind {
    const char* name;
    const char* get;
    const char* set;
    const char* setState;
};
const ProxyKind kKinds[] = {
    {"web", "-getwebproxy", "-setwebproxy", "-setwebproxystate"},
    {"secureweb", "-getsecurewebproxy", "-setsecurewebproxy", "-setsecurewebproxystate"},
    {"socks", "-getsocksfirewallproxy", "-setsocksfirewallproxy", "-setsocksfirewallproxystate"},
};

QString onOff(bool on) {
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

class NetworkServiceProxyStore : public ProxyStore {
public:
    NetworkServiceProxyStore(QString tool, QString service)
        : m_tool(std::move(tool)), m_service(std::move(service)) {}

    QString name() const override { return QStringLiteral("networksetup:") + m_service; }

    QJsonObject read() const override {
        QJsonObject values;
        // "-getwebproxy" prints lines such as "Enabled: Yes", "Server: 127.0.0.1", "Port: 17890".
        for (const ProxyKind& kind : kKinds) {
            const QStringList lines = outputLines(QLatin1String(kind.get));
            values.insert(QLatin1String(kind.name),
                          QJsonObject{{QStringLiteral("enabled"),
                                       field(lines, "Enabled") == QLatin1String("Yes")},
                                      {QStringLiteral("server"), field(lines, "Server")},
                                      {QStringLiteral("port"), field(lines, "Port")}});
        }
        // One domain a line, or a sentence when there are none.
        QJsonArray bypass;
        for (const QString& line : outputLines(QStringLiteral("-getproxybypassdomains"))) {
            if (!line.isEmpty() && !line.contains(QLatin1Char(' ')))
                bypass.append(line);
        }
        values.insert(kBypassKey, bypass);
        // "URL: (null)" when none was ever set.
        const QStringList autoProxy = outputLines(QStringLiteral("-getautoproxyurl"));
        QString url = field(autoProxy, "URL");
        if (url == QLatin1String("(null)"))
            url.clear();
        values.insert(kAutoProxy,
                      QJsonObject{{QStringLiteral("url"), url},
                                  {QStringLiteral("enabled"),
                                   field(autoProxy, "Enabled") == QLatin1String("Yes")}});
        return values;
    }

    bool pointsAt(const QJsonObject& values, qint64 port) const override {
        const QJsonObject web = values.value(QStringLiteral("web")).toObject();
        return web.value(QStringLiteral("enabled")).toBool() &&
               web.value(QStringLiteral("server")).toString() == kLoopback &&
               web.value(QStringLiteral("port")).toString() == QString::number(port);
    }

    void switchOn(qint64 port, const QJsonObject& before) const override {
        // The set commands switch their proxies on themselves.
        for (const ProxyKind& kind : kKinds)
            run({QLatin1String(kind.set), m_service, kLoopback, QString::number(port)});
        QStringList users;
        for (const QJsonValue& entry : before.value(kBypassKey).toArray())
            users.append(entry.toString());
        run(QStringList{QStringLiteral("-setproxybypassdomains"), m_service} +
            mergedBypass(users, kBypass));
        // An automatic proxy configuration would be asked before the proxies set here.
        if (before.value(kAutoProxy).toObject().value(QStringLiteral("enabled")).toBool())
            run({QStringLiteral("-setautoproxystate"), m_service, onOff(false)});
    }

    void restore(const QJsonObject& before) const override {
        if (before.contains(kBypassKey)) {
            QStringList domains;
            for (const QJsonValue& entry : before.value(kBypassKey).toArray())
                domains.append(entry.toString());
            // "Empty" is the tool's word for no domains.
            run(QStringList{QStringLiteral("-setproxybypassdomains"), m_service} +
                (domains.isEmpty() ? QStringList{QStringLiteral("Empty")} : domains));
        }
        // An empty server is written back too: the fields keep no trace of ours.
        for (const ProxyKind& kind : kKinds) {
            const QJsonObject proxy = before.value(QLatin1String(kind.name)).toObject();
            if (!proxy.isEmpty())
                run({QLatin1String(kind.set), m_service,
                     proxy.value(QStringLiteral("server")).toString(),
                     proxy.value(QStringLiteral("port")).toString(QStringLiteral("0"))});
        }
        const QJsonObject autoProxy = before.value(kAutoProxy).toObject();
        const QString url = autoProxy.value(QStringLiteral("url")).toString();
        if (!url.isEmpty())
            run({QStringLiteral("-setautoproxyurl"), m_service, url});
        // Whether each proxy is on, last.
        for (const ProxyKind& kind : kKinds) {
            const QJsonObject proxy = before.value(QLatin1String(kind.name)).toObject();
            run({QLatin1String(kind.setState), m_service,
                 onOff(proxy.value(QStringLiteral("enabled")).toBool())});
        }
        if (before.contains(kAutoProxy))
            run({QStringLiteral("-setautoproxystate"), m_service,
                 onOff(autoProxy.value(QStringLiteral("enabled")).toBool())});
    }

    void switchOff() const override {
        for (const ProxyKind& kind : kKinds)
            run({QLatin1String(kind.setState), m_service, onOff(false)});
    }

private:
    void run(const QStringList& arguments) const { ToolProcess::run(m_tool, arguments); }

    QStringList outputLines(const QString& command) const {
        const auto reply = ToolProcess::output(m_tool, {command, m_service});
        if (!reply)
            return {};
        QStringList lines = decodedUtf8(*reply).split(QLatin1Char('\n'));
        for (QString& line : lines)
            line = line.trimmed();
        return lines;
    }

    static QString field(const QStringList& lines, const char* name) {
        const QString prefix = QLatin1String(name) + QLatin1String(": ");
        for (const QString& line : lines) {
            if (line.startsWith(prefix))
                return line.mid(prefix.size());
        }
        return {};
    }

    QString m_tool;
    QString m_service;
};
} // namespace

NetworkSetupProxy::NetworkSetupProxy(QString toolPath) : m_tool(std::move(toolPath)) {}

QStringList NetworkSetupProxy::activeNetworkServices() const {
    const auto listing = ToolProcess::output(m_tool, {QStringLiteral("-listallnetworkservices")});
    if (!listing)
        return {};
    QStringList services;
    // Names are kept untrimmed: blanks belong to the service's name.
    const QStringList lines = decodedUtf8(*listing).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("An asterisk")) || line.startsWith(QLatin1Char('*')))
            continue;
        services.append(line);
    }
    return services;
}

ProxyStores NetworkSetupProxy::stores() const {
    ProxyStores stores;
    for (const QString& service : activeNetworkServices())
        stores.push_back(std::make_unique<NetworkServiceProxyStore>(m_tool, service));
    return stores;
}
