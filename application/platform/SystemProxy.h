#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// One place that holds the desktop's proxy settings: GNOME's, KDE's or one macOS network
// service's. Commands run one after another without a shell, each waited for; failures of the
// tools are not reported.
class ProxyStore {
public:
    virtual ~ProxyStore() = default;
    // Names the store's entry in a snapshot; the same in every run.
    virtual QString name() const = 0;
    // What the store holds now, in the form restore() writes back.
    virtual QJsonObject read() const = 0;
    // Whether values read from this store have it on with its HTTP proxy at 127.0.0.1:port.
    virtual bool pointsAt(const QJsonObject& values, qint64 port) const = 0;
    // Points the store at 127.0.0.1:port. `before` (what read() gave before, or empty) supplies
    // the user's bypass entries, which stay.
    virtual void switchOn(qint64 port, const QJsonObject& before) const = 0;
    // Writes back what read() gave: the values first, whether the proxy is on last.
    virtual void restore(const QJsonObject& before) const = 0;
    // Switches the proxy off; hosts, ports and bypass entries stay.
    virtual void switchOff() const = 0;
};

using ProxyStores = std::vector<std::unique_ptr<ProxyStore>>;

// The proxy stores of the desktop this runs on.
class SystemProxy {
public:
    virtual ~SystemProxy() = default;
    // The stores present now (tools found, network services enabled).
    virtual ProxyStores stores() const = 0;
    // Whether some store points at 127.0.0.1:port.
    bool pointsAt(qint64 port) const;
};

// The bypass entries every store keeps while it points at the core: the user's own, then those
// of `ours` that are missing.
QStringList mergedBypass(const QStringList& users, const QStringList& ours);
