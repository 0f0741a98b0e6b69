#include "platform/SystemProxyKeeper.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

namespace {
const QString kStores = QStringLiteral("stores");
constexpr qint64 kMaxSnapshotBytes = 1024 * 1024;
} // namespace

SystemProxyKeeper::SystemProxyKeeper(SystemProxy* proxy, QString snapshotFile)
    : m_proxy(proxy), m_snapshotFile(std::move(snapshotFile)) {}

std::optional<QJsonObject> SystemProxyKeeper::keptSnapshot() const {
    if (m_snapshot)
        return m_snapshot;
    // Only a regular file of sensible size: anything else in its place holds nothing of ours.
    const QFileInfo info(m_snapshotFile);
    QFile file(m_snapshotFile);
    if (!info.isFile() || info.isSymLink() || info.size() > kMaxSnapshotBytes ||
        !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(kMaxSnapshotBytes));
    if (!document.isObject())
        return std::nullopt;
    return document.object().value(kStores).toObject();
}

void SystemProxyKeeper::keep(const QJsonObject& stores) {
    m_snapshot = stores;
    // The one place the snapshot is written: whole or not at all, owner-only before the first
    // byte lands. A failure is swallowed; the copy in memory still serves this run.
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{kStores, stores}}).toJson(QJsonDocument::Indented);
    QSaveFile file(m_snapshotFile);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return;
    }
    file.commit();
}

void SystemProxyKeeper::switchOn(qint64 port) {
    if (!m_proxy)
        return;
    m_switchedOn = true;
    const ProxyStores stores = m_proxy->stores();
    QJsonObject snapshot = keptSnapshot().value_or(QJsonObject());
    bool added = !m_snapshot.has_value();
    // What each store's bypass entries are merged with: the user's kept values, else the
    // store's present ones.
    QJsonObject basis;
    for (const auto& store : stores) {
        if (snapshot.contains(store->name())) {
            basis.insert(store->name(), snapshot.value(store->name()));
            continue;
        }
        const QJsonObject values = store->read();
        basis.insert(store->name(), values);
        // A store already pointing at the core holds our values, not the user's.
        if (store->pointsAt(values, port))
            continue;
        snapshot.insert(store->name(), values);
        added = true;
    }
    if (added)
        keep(snapshot);
    for (const auto& store : stores)
        store->switchOn(port, basis.value(store->name()).toObject());
}

void SystemProxyKeeper::switchOff(qint64 port) {
    if (!m_switchedOn && !m_snapshot && !QFileInfo::exists(m_snapshotFile))
        return;
    restoreStores(port);
}

void SystemProxyKeeper::recover(qint64 port) {
    restoreStores(port);
}

void SystemProxyKeeper::restoreStores(qint64 port) {
    if (m_proxy) {
        const QJsonObject snapshot = keptSnapshot().value_or(QJsonObject());
        for (const auto& store : m_proxy->stores()) {
            if (!store->pointsAt(store->read(), port))
                continue; // the user's own settings now
            const QJsonValue before = snapshot.value(store->name());
            if (before.isObject() && !before.toObject().isEmpty())
                store->restore(before.toObject());
            else
                store->switchOff();
        }
    }
    m_snapshot.reset();
    QFile::remove(m_snapshotFile);
}
