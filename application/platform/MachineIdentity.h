#pragma once

#include <QString>

// A stable per-machine text for the quota request; empty when the platform gives none
// (the caller then falls back to the "device_id" file).
class MachineIdentity {
public:
    virtual ~MachineIdentity() = default;
    virtual QString platformId() const = 0;
};

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
