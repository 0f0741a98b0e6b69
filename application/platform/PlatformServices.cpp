#include "platform/PlatformServices.h"
#include "platform/DeviceName.h"
#include "platform/SystemNetworkWatcher.h"
#include "platform/linux/LinuxDesktopProxy.h"
#include "platform/linux/LinuxMachineIdentity.h"
#include "platform/linux/LogindSleepWatcher.h"
#include "platform/linux/PkexecAuthorizer.h"
#include "platform/linux/ProcNetListeningSockets.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "platform/macos/AppleScriptAuthorizer.h"
#include "platform/macos/IoregMachineIdentity.h"
#include "platform/macos/LaunchAgentLoginItem.h"
#include "platform/macos/NetworkSetupProxy.h"

#include <QDir>

namespace {
#ifndef Q_OS_MACOS
QString xdgConfigHome(const QString& homeDir) {
    // Only an absolute $XDG_CONFIG_HOME counts; otherwise ~/.config.
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (QDir::isAbsolutePath(configured))
        return configured;
    return QDir(homeDir).filePath(QStringLiteral(".config"));
}
#endif
} // namespace

PlatformServices PlatformServices::forHost(const QString& homeDir) {
    PlatformServices services;
#ifdef Q_OS_MACOS
    services.systemProxy = std::make_unique<NetworkSetupProxy>();
    services.adminAuthorizer = std::make_unique<AppleScriptAuthorizer>();
    services.loginItem = std::make_unique<LaunchAgentLoginItem>(homeDir);
    services.machineIdentity = std::make_unique<IoregMachineIdentity>();
#else
    services.systemProxy = std::make_unique<LinuxDesktopProxy>();
    services.adminAuthorizer = std::make_unique<PkexecAuthorizer>();
    services.loginItem = std::make_unique<XdgAutostartLoginItem>(xdgConfigHome(homeDir));
    services.machineIdentity = std::make_unique<LinuxMachineIdentity>();
    services.listeningSockets = std::make_unique<ProcNetListeningSockets>();
    services.sleepWatcher = std::make_unique<LogindSleepWatcher>(QDBusConnection::systemBus());
#endif
    services.networkWatcher = std::make_unique<SystemNetworkWatcher>();
    services.interfaces = systemInterfaceAddresses;
    services.lanInterfacePrefixes = ::lanInterfacePrefixes();
    services.deviceName = DeviceName::current;
    services.pkillPath = QStringLiteral("/usr/bin/pkill");
    return services;
}
