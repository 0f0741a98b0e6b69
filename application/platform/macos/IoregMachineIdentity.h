#pragma once

#include "platform/MachineIdentity.h"

#include <QString>

// macOS: the platform UUID "IOPlatformUUID" of the IOPlatformExpertDevice, read through ioreg.
class IoregMachineIdentity : public MachineIdentity {
public:
    explicit IoregMachineIdentity(QString ioregPath = QStringLiteral("/usr/sbin/ioreg"));
    QString platformId() const override;

    // The UUID out of ioreg's listing; empty when it has none.
    static QString uuidFromListing(const QString& listing);

private:
    QString m_ioreg;
};
