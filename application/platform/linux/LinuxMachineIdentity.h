#pragma once

#include "platform/MachineIdentity.h"

#include <QByteArray>
#include <QString>

// Linux: an application-specific identifier derived from the machine id. The machine id itself
// must not leave the machine, so it only keys an HMAC-SHA256 over this application's id; the
// first 16 bytes become an upper-case UUID (version 4).
class LinuxMachineIdentity : public MachineIdentity {
public:
    explicit LinuxMachineIdentity(QString machineIdPath = QStringLiteral("/etc/machine-id"));
    QString platformId() const override;

    static QString derivedId(const QByteArray& machineId);

private:
    QString m_machineIdPath;
};
