#pragma once

#include <QString>

namespace TestSupport {
// The build's staged bundle (stage/bin, stage/libexec/vantrel-vpn, stage/share/vantrel-vpn).
QString stageDir();
QString stagedCore();            // stage/libexec/vantrel-vpn/vantrel-core
QString stagedHelper();          // stage/libexec/vantrel-vpn/vantrel-helper
QString stagedAuthorizeScript(); // stage/libexec/vantrel-vpn/vantrel-authorize
// A folder that, like an installation, is root's alone up to "/" (the build tree, when the
// tests run as root): bundles staged below it count as installed.
QString installedBase();
// Gives the file the launcher's file capabilities with setcap; false when that fails.
bool setTunCapabilities(const QString& path);
// A line of /proc/<pid>/status, e.g. "CapEff", without its name; empty when unreadable.
QString processStatus(qint64 pid, const QString& field);
QString sourceDir();
// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 freeLocalPort();
// Writes an executable shell script (mode 0755) and returns its path.
QString writeScript(const QString& path, const QString& body);
// Whether a process runs (a zombie waiting to be reaped counts as ended).
bool isRunning(qint64 pid);

} // namespace TestSupport
