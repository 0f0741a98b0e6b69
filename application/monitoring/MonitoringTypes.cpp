#include "monitoring/MonitoringTypes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>

namespace {

std::optional<QJsonObject> parseObject(const QByteArray& bytes) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

// An integral JSON number; 1.5 and "1" are not. Two different defaults tell a real integer
// from the fallback value.
std::optional<qint64> integerValue(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const qint64 first = value.toInteger(0);
    if (first != value.toInteger(1))
        return std::nullopt;
    return first;
}

std::optional<QString> stringValue(const QJsonValue& value) {
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// The first element of an array that holds only strings; empty otherwise.
QString firstOfStringArray(const QJsonValue& value) {
    if (!value.isArray())
        return {};
    const QJsonArray array = value.toArray();
    if (array.isEmpty())
        return {};
    for (const QJsonValue& element : array) {
        if (!element.isString())
            return {};
    }
    return array.first().toString();
}

} // namespace

std::optional<LiveTraffic> decodeTrafficLine(const QByteArray& line) {
    const std::optional<QJsonObject> object = parseObject(line);
    if (!object)
        return std::nullopt;
    const std::optional<qint64> up = integerValue(object->value(QLatin1String("up")));
    const std::optional<qint64> down = integerValue(object->value(QLatin1String("down")));
    if (!up || !down)
        return std::nullopt;
    return LiveTraffic{*up, *down};
}

std::optional<QList<ActiveConnectionItem>> decodeRecentConnections(const QByteArray& body) {
    constexpr qsizetype maximumRows = 25;
    const std::optional<QJsonObject> object = parseObject(body);
    if (!object)
        return std::nullopt;
    const QJsonValue connections = object->value(QLatin1String("connections"));
    // The core sends null rather than [] when it has no connections.
    if (connections.isNull())
        return QList<ActiveConnectionItem>();
    if (!connections.isArray())
        return std::nullopt;
    const QJsonArray array = connections.toArray();
    for (const QJsonValue& element : array) {
        if (!element.isObject())
            return std::nullopt;
    }

    QList<ActiveConnectionItem> rows;
    QSet<QString> taken;
    for (const QJsonValue& element : array) {
        const QJsonObject connection = element.toObject();
        const QJsonObject metadata = connection.value(QLatin1String("metadata")).toObject();
        QString host = stringValue(metadata.value(QLatin1String("host"))).value_or(QString());
        if (host.isEmpty())
            host = stringValue(metadata.value(QLatin1String("destinationIP"))).value_or(QString());
        if (host.isEmpty() || taken.contains(host))
            continue;
        taken.insert(host);
        rows.append({host, host,
                     stringValue(connection.value(QLatin1String("rule"))).value_or(QString()),
                     firstOfStringArray(connection.value(QLatin1String("chains")))});
        if (rows.size() == maximumRows)
            break;
    }
    return rows;
}

std::optional<qint64> decodeDelay(const QByteArray& body) {
    const std::optional<QJsonObject> object = parseObject(body);
    if (!object)
        return std::nullopt;
    return integerValue(object->value(QLatin1String("delay")));
}

std::optional<QuotaInfo> decodeQuotaInfo(const QByteArray& body) {
    const std::optional<QJsonObject> object = parseObject(body);
    if (!object)
        return std::nullopt;
    const QJsonObject& o = *object;
    const QJsonValue ok = o.value(QLatin1String("ok"));
    const QJsonValue percent = o.value(QLatin1String("percent_used"));
    if (!ok.isBool() || !percent.isDouble())
        return std::nullopt;

    const auto text = [&o](const char* key) { return stringValue(o.value(QLatin1String(key))); };
    const auto integer = [&o](const char* key) {
        return integerValue(o.value(QLatin1String(key)));
    };
    const auto nodeName = text("node_name");
    const auto serverIP = text("server_ip");
    const auto location = text("location");
    const auto resetDay = integer("reset_day");
    const auto cycleStart = text("cycle_start");
    const auto nextReset = text("next_reset");
    const auto daysRemaining = integer("days_remaining");
    const auto quotaBytes = integer("quota_bytes");
    const auto usedBytes = integer("used_bytes");
    const auto remainingBytes = integer("remaining_bytes");
    const auto uploadBytes = integer("upload_bytes");
    const auto downloadBytes = integer("download_bytes");
    const auto proxyUsedBytes = integer("proxy_used_bytes");
    if (!nodeName || !serverIP || !location || !resetDay || !cycleStart || !nextReset ||
        !daysRemaining || !quotaBytes || !usedBytes || !remainingBytes || !uploadBytes ||
        !downloadBytes || !proxyUsedBytes)
        return std::nullopt;

    return QuotaInfo{ok.toBool(),    *nodeName,       *serverIP,         *location,
                     *resetDay,      *cycleStart,     *nextReset,        *daysRemaining,
                     *quotaBytes,    *usedBytes,      *remainingBytes,   *uploadBytes,
                     *downloadBytes, *proxyUsedBytes, percent.toDouble()};
}
