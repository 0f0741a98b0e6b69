#include "platform/macos/NetworkSetupProxy.h"
#include "platform/ToolProcess.h"

#include <QStringDecoder>

namespace {
const QString kLoopback = QStringLiteral("127.0.0.1");

QString decodedUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}
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

void NetworkSetupProxy::runNetworkSetup(const QStringList& arguments) const {
    ToolProcess::run(m_tool, arguments);
}

void NetworkSetupProxy::apply(bool enabled, qint64 mixedPort) {
    const QString port = QString::number(mixedPort);
    for (const QString& service : activeNetworkServices()) {
        if (enabled) {
            // The set commands switch their proxies on themselves.
            runNetworkSetup({QStringLiteral("-setwebproxy"), service, kLoopback, port});
            runNetworkSetup({QStringLiteral("-setsecurewebproxy"), service, kLoopback, port});
            runNetworkSetup({QStringLiteral("-setsocksfirewallproxy"), service, kLoopback, port});
            runNetworkSetup({QStringLiteral("-setproxybypassdomains"), service, kLoopback,
                             QStringLiteral("localhost"), QStringLiteral("*.local")});
        } else {
            runNetworkSetup({QStringLiteral("-setwebproxystate"), service, QStringLiteral("off")});
            runNetworkSetup(
                {QStringLiteral("-setsecurewebproxystate"), service, QStringLiteral("off")});
            runNetworkSetup(
                {QStringLiteral("-setsocksfirewallproxystate"), service, QStringLiteral("off")});
        }
    }
}

bool NetworkSetupProxy::pointsAt(qint64 mixedPort) {
    // "-getwebproxy" prints lines such as "Enabled: Yes", "Server: 127.0.0.1", "Port: 17890".
    const QString port = QString::number(mixedPort);
    for (const QString& service : activeNetworkServices()) {
        const auto reply = ToolProcess::output(m_tool, {QStringLiteral("-getwebproxy"), service});
        if (!reply)
            continue;
        bool enabled = false, server = false, portMatches = false;
        for (const QString& rawLine : QString::fromUtf8(*reply).split(QLatin1Char('\n'))) {
            const QString line = rawLine.trimmed();
            enabled |= line == QLatin1String("Enabled: Yes");
            server |= line == QLatin1String("Server: ") + kLoopback;
            portMatches |= line == QLatin1String("Port: ") + port;
        }
        if (enabled && server && portMatches)
            return true;
    }
    return false;
}
