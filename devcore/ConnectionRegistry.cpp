#include "ConnectionRegistry.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <utility>
#include <vector>

QJsonObject ConnectionRecord::toJson() const {
    const QJsonObject metadata{
        {QStringLiteral("network"), QStringLiteral("tcp")},
        {QStringLiteral("type"), type},
        {QStringLiteral("sourceIP"), sourceIP},
        {QStringLiteral("sourcePort"), QString::number(sourcePort)},
        {QStringLiteral("destinationIP"), destinationIP},
        {QStringLiteral("destinationPort"), QString::number(destinationPort)},
        {QStringLiteral("host"), host},
    };
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("metadata"), metadata},
        {QStringLiteral("upload"), upload},
        {QStringLiteral("download"), download},
        {QStringLiteral("start"), start.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("chains"), QJsonArray::fromStringList(route.chains)},
        {QStringLiteral("rule"), route.rule},
        {QStringLiteral("rulePayload"), route.rulePayload},
    };
}

ConnectionRegistry::ConnectionRegistry(QObject* parent) : QObject(parent) {
    m_sampler.setInterval(1000);
    connect(&m_sampler, &QTimer::timeout, this, &ConnectionRegistry::sample);
    m_sampler.start();
}

void ConnectionRegistry::add(const ConnectionRecord* record, std::function<void()> close) {
    m_open.emplace(record, std::move(close));
}

void ConnectionRegistry::close(const QString& id) {
    for (auto& [record, close] : m_open) {
        if (record->id == id && close) {
            std::exchange(close, nullptr)();
            return;
        }
    }
}

void ConnectionRegistry::closeAll() {
    // Collected first: a connection may end (and leave the registry) while it is closed.
    std::vector<std::function<void()>> closers;
    for (auto& [record, close] : m_open) {
        if (close)
            closers.push_back(std::exchange(close, nullptr));
    }
    for (const auto& close : closers)
        close();
}

void ConnectionRegistry::remove(const ConnectionRecord* record) {
    m_open.erase(record);
}

void ConnectionRegistry::countUpload(ConnectionRecord* record, qint64 bytes) {
    record->upload += bytes;
    m_uploadTotal += bytes;
}

void ConnectionRegistry::countDownload(ConnectionRecord* record, qint64 bytes) {
    record->download += bytes;
    m_downloadTotal += bytes;
}

QJsonObject ConnectionRegistry::snapshot() const {
    std::vector<const ConnectionRecord*> records;
    records.reserve(m_open.size());
    for (const auto& entry : m_open)
        records.push_back(entry.first);
    std::sort(
        records.begin(), records.end(),
        [](const ConnectionRecord* a, const ConnectionRecord* b) { return a->start < b->start; });
    QJsonArray list;
    for (const ConnectionRecord* record : records)
        list.append(record->toJson());
    return QJsonObject{
        {QStringLiteral("downloadTotal"), m_downloadTotal},
        {QStringLiteral("uploadTotal"), m_uploadTotal},
        // The real core sends null rather than an empty list.
        {QStringLiteral("connections"), list.isEmpty() ? QJsonValue() : QJsonValue(list)},
        {QStringLiteral("memory"), 0},
    };
}

void ConnectionRegistry::sample() {
    const QJsonObject line{
        {QStringLiteral("up"), m_uploadTotal - m_uploadAtLastSample},
        {QStringLiteral("down"), m_downloadTotal - m_downloadAtLastSample},
        {QStringLiteral("upTotal"), m_uploadTotal},
        {QStringLiteral("downTotal"), m_downloadTotal},
    };
    m_uploadAtLastSample = m_uploadTotal;
    m_downloadAtLastSample = m_downloadTotal;
    emit sampled(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
}
