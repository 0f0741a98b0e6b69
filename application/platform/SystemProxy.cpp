#include "platform/SystemProxy.h"

bool SystemProxy::pointsAt(qint64 port) const {
    for (const auto& store : stores()) {
        if (store->pointsAt(store->read(), port))
            return true;
    }
    return false;
}

QStringList mergedBypass(const QStringList& users, const QStringList& ours) {
    QStringList merged = users;
    for (const QString& entry : ours) {
        if (!merged.contains(entry))
            merged.append(entry);
    }
    return merged;
}
