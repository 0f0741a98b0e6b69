#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// One sample of the core's traffic stream, bytes per second.
struct LiveTraffic {
    qint64 up = 0;
    qint64 down = 0;
    bool operator==(const LiveTraffic&) const = default;
};

// One row of the recent-connections list.
struct ActiveConnectionItem {
    QString id; // same as host
    QString host;
    QString rule;
    QString chain;
    bool operator==(const ActiveConnectionItem&) const = default;
};

// The quota service's reply.
struct QuotaInfo {
    bool ok = false;
    QString nodeName;
    QString serverIP;
    QString location;
    qint64 resetDay = 0;
    QString cycleStart;
    QString nextReset;
    qint64 daysRemaining = 0;
    qint64 quotaBytes = 0;
    qint64 usedBytes = 0;
    qint64 remainingBytes = 0;
    qint64 uploadBytes = 0;
    qint64 downloadBytes = 0;
    qint64 proxyUsedBytes = 0;
    double percentUsed = 0;
    bool operator==(const QuotaInfo&) const = default;
};

// Decoders of the core's and the quota service's replies; nothing when a reply does not fit.
std::optional<LiveTraffic> decodeTrafficLine(const QByteArray& line);
std::optional<QList<ActiveConnectionItem>> decodeRecentConnections(const QByteArray& body);
std::optional<qint64> decodeDelay(const QByteArray& body);
std::optional<QuotaInfo> decodeQuotaInfo(const QByteArray& body);
