#pragma once

#include <QString>

// The computer's user-visible name, trimmed; the host name when there is none.
namespace DeviceName {

// Linux: PRETTY_HOSTNAME of /etc/machine-info (the name hostnamectl shows).
QString fromMachineInfo(const QString& machineInfoPath = QStringLiteral("/etc/machine-info"));
// macOS: `scutil --get ComputerName`.
QString fromScutil(const QString& scutilPath = QStringLiteral("/usr/sbin/scutil"));
// `preferred` trimmed, or the machine's host name when that is empty.
QString orHostName(const QString& preferred);
// The name on this platform.
QString current();

} // namespace DeviceName
