#pragma once

#include <QString>

namespace TestSupport {
// The build's staged bundle (stage/bin, stage/libexec/vantrel-vpn, stage/share/vantrel-vpn).
QString stageDir();
QString stagedCore();   // stage/libexec/vantrel-vpn/vantrel-core
QString stagedHelper(); // stage/libexec/vantrel-vpn/vantrel-helper
QString sourceDir();
// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 freeLocalPort();
// Writes an executable shell script (mode 0755) and returns its path.
QString writeScript(const QString& path, const QString& body);
} // namespace TestSupport
