#include "ControllerApi.h"

#include "ControllerConnection.h"
#include "DelayProbe.h"
#include "DevCore.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>

namespace {
const QString kBodyInvalid = QStringLiteral("Body invalid");
const QString kNotFound = QStringLiteral("Resource not found");

std::optional<QJsonObject> jsonObject(const QByteArray& body) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

// Whether path lies inside folder, after resolving "..", and symbolic links where they exist.
bool isInside(const QString& path, const QString& folder) {
    auto resolved = [](const QString& p) {
        const QString canonical = QFileInfo(p).canonicalFilePath();
        return canonical.isEmpty() ? QDir::cleanPath(p) : canonical;
    };
    const QString base = resolved(folder);
    return resolved(path).startsWith(base + u'/');
}
} // namespace

ControllerApi::ControllerApi(DevCore& core, QObject* parent) : QObject(parent), m_core(core) {}

void ControllerApi::handle(const ControllerRequest& request, ControllerConnection* connection) {
    const QStringList& segments = request.segments;
    const QByteArray& method = request.method;
    const QString first = segments.value(0);

    if (segments.size() == 1 && first == u"version" && method == "GET") {
        connection->reply(200, QJsonObject{{QStringLiteral("meta"), true},
                                           {QStringLiteral("version"), DevCore::version()}});
    } else if (segments.size() == 1 && first == u"configs" && method == "GET") {
        getConfigs(connection);
    } else if (segments.size() == 1 && first == u"configs" && method == "PATCH") {
        patchConfigs(request, connection);
    } else if (segments.size() == 1 && first == u"configs" && method == "PUT") {
        reloadConfigs(request, connection);
    } else if (segments.size() == 1 && first == u"traffic" && method == "GET") {
        streamTraffic(connection);
    } else if (segments.size() == 1 && first == u"connections" && method == "GET") {
        connection->reply(200, m_core.registry().snapshot());
    } else if (segments.size() == 1 && first == u"connections" && method == "DELETE") {
        m_core.registry().closeAll();
        connection->replyNoContent();
    } else if (segments.size() == 2 && first == u"connections" && method == "DELETE") {
        m_core.registry().close(segments.at(1)); // an unknown id is no error
        connection->replyNoContent();
    } else if (segments.size() == 2 && first == u"proxies" && segments.at(1) == u"GLOBAL") {
        if (method == "GET")
            getGlobal(connection);
        else if (method == "PUT")
            putGlobal(request, connection);
        else
            connection->replyMessage(405, QStringLiteral("Method not allowed"));
    } else if (segments.size() == 2 && first == u"proxies" && method == "PUT") {
        connection->replyMessage(404, kNotFound); // only GLOBAL is a selector here
    } else if (segments.size() == 3 && first == u"proxies" && segments.at(2) == u"delay" &&
               method == "GET") {
        testDelay(request, connection);
    } else {
        connection->replyMessage(404, kNotFound);
    }
}

void ControllerApi::getConfigs(ControllerConnection* connection) {
    const CoreConfig& config = m_core.config();
    connection->reply(200, QJsonObject{
                               {QStringLiteral("port"), 0},
                               {QStringLiteral("socks-port"), 0},
                               {QStringLiteral("mixed-port"), config.mixedPort},
                               {QStringLiteral("allow-lan"), config.allowLan},
                               {QStringLiteral("mode"), routingModeText(m_core.router().mode())},
                               {QStringLiteral("log-level"), config.logLevel},
                           });
}

void ControllerApi::patchConfigs(const ControllerRequest& request,
                                 ControllerConnection* connection) {
    const auto body = jsonObject(request.body);
    const auto mode = body ? routingModeFromText(body->value(u"mode").toString()) : std::nullopt;
    if (!mode) {
        connection->replyMessage(400, kBodyInvalid);
        return;
    }
    m_core.setMode(*mode);
    connection->replyNoContent();
}

void ControllerApi::reloadConfigs(const ControllerRequest& request,
                                  ControllerConnection* connection) {
    const auto body = jsonObject(request.body.isEmpty() ? QByteArray("{}") : request.body);
    if (!body || (body->contains(u"path") && !body->value(u"path").isString())) {
        connection->replyMessage(400, kBodyInvalid);
        return;
    }
    QString path = body->value(u"path").toString();
    if (path.isEmpty()) {
        path = m_core.configPath();
    } else if (!QDir::isAbsolutePath(path)) {
        connection->replyMessage(400, QStringLiteral("path is not a absolute path"));
        return;
    } else if (!isInside(path, m_core.dataDir())) {
        connection->replyMessage(
            400, QStringLiteral("path is not inside the data folder %1").arg(m_core.dataDir()));
        return;
    }
    const QString error = m_core.reload(path);
    if (!error.isEmpty()) {
        connection->replyMessage(400, error);
        return;
    }
    connection->replyNoContent();
}

void ControllerApi::getGlobal(ControllerConnection* connection) {
    const Router& router = m_core.router();
    connection->reply(200, QJsonObject{
                               {QStringLiteral("name"), QStringLiteral("GLOBAL")},
                               {QStringLiteral("type"), QStringLiteral("Selector")},
                               {QStringLiteral("now"), router.globalSelection()},
                               {QStringLiteral("all"),
                                QJsonArray::fromStringList(router.graph().selectableNames())},
                               {QStringLiteral("history"), QJsonArray()},
                               {QStringLiteral("udp"), true},
                           });
}

void ControllerApi::putGlobal(const ControllerRequest& request, ControllerConnection* connection) {
    const auto body = jsonObject(request.body);
    if (!body || !body->value(u"name").isString()) {
        connection->replyMessage(400, kBodyInvalid);
        return;
    }
    if (!m_core.selectGlobal(body->value(u"name").toString())) {
        connection->replyMessage(400, QStringLiteral("Selector update error: proxy not exist"));
        return;
    }
    connection->replyNoContent();
}

void ControllerApi::testDelay(const ControllerRequest& request, ControllerConnection* connection) {
    const QString& name = request.segments.at(1);
    const ProxyGraph& graph = m_core.router().graph();
    if (name == u"DIRECT" || name == u"REJECT" || !graph.contains(name)) {
        connection->replyMessage(404, kNotFound);
        return;
    }
    bool numeric = false;
    const int timeoutMs = request.query.queryItemValue(QStringLiteral("timeout")).toInt(&numeric);
    if (!numeric || timeoutMs <= 0) {
        connection->replyMessage(400, kBodyInvalid);
        return;
    }
    // The node's protocol is beyond this core, so reaching its server stands in for a probe.
    const ProxyNode* node = graph.endNode(name);
    auto* probe =
        new DelayProbe(node ? node->server : QString(), node ? node->port : 0, timeoutMs, this);
    QPointer<ControllerConnection> target(connection);
    connect(probe, &DelayProbe::finished, this,
            [target](DelayProbe::Outcome outcome, qint64 milliseconds) {
                if (!target)
                    return;
                switch (outcome) {
                case DelayProbe::Outcome::Connected:
                    target->reply(200, QJsonObject{{QStringLiteral("delay"), milliseconds}});
                    break;
                case DelayProbe::Outcome::TimedOut:
                    target->replyMessage(504, QStringLiteral("Timeout"));
                    break;
                case DelayProbe::Outcome::Failed:
                    target->replyMessage(503,
                                         QStringLiteral("An error occurred in the delay test"));
                    break;
                }
            });
}

void ControllerApi::streamTraffic(ControllerConnection* connection) {
    connection->startStream();
    connect(&m_core.registry(), &ConnectionRegistry::sampled, connection,
            &ControllerConnection::streamLine);
}
