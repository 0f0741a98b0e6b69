#pragma once

#include "controller/ManagerEnvironment.h"

#include <QTemporaryDir>

namespace TestSupport {

// A controller environment over a temporary folder: data and home folders below it, a bundle
// without programs, no desktop service and a harmless pkill, so a controller built on it can
// touch nothing of the desktop. Tests add the fakes they need.
inline ManagerEnvironment bareEnvironment(const QTemporaryDir& dir) {
    ManagerEnvironment environment;
    environment.paths.dataDir = dir.filePath(QStringLiteral("data"));
    environment.paths.homeDir = dir.filePath(QStringLiteral("home"));
    environment.paths.bundle =
        BundleLayout::linuxLayout(dir.filePath(QStringLiteral("bin/vantrel-vpn")));
    environment.platform.pkillPath = QStringLiteral("/bin/true");
    return environment;
}

} // namespace TestSupport
