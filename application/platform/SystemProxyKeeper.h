#pragma once

#include "platform/SystemProxy.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// Switches the desktop's proxies on and off for the controller and gives the user's own settings
// back. Before a store is first pointed at the core, what it held goes into a snapshot file
// (owner-only, written atomically) that outlives a crash. Switching off restores the stores that
// still point at the core and consumes the snapshot; stores the user changed meanwhile stay as
// they are.
class SystemProxyKeeper {
public:
    // `proxy` may be null (no desktop proxy to drive); it must outlive the keeper.
    SystemProxyKeeper(SystemProxy* proxy, QString snapshotFile);

    // Points every store at 127.0.0.1:port. A snapshot already kept (from this run, or on disk
    // from a run that ended without switching off) is never replaced by one holding our values.
    void switchOn(qint64 port);
    // Gives back what the snapshot holds to the stores still pointing at the core, switches off
    // those that point at it with nothing kept, and deletes the snapshot. Runs no tool at all
    // when this run never switched on and no snapshot lies on disk.
    void switchOff(qint64 port);
    // At start-up: the same for what a run that ended without switching off left behind.
    void recover(qint64 port);

    QString snapshotFile() const { return m_snapshotFile; }

private:
    void restoreStores(qint64 port);
    std::optional<QJsonObject> keptSnapshot() const;
    void keep(const QJsonObject& stores);

    SystemProxy* m_proxy;
    QString m_snapshotFile;
    // Also in memory: a data folder that cannot be written must not lose the settings.
    std::optional<QJsonObject> m_snapshot;
    bool m_switchedOn = false;
};
