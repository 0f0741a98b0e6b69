#pragma once

#include "platform/AdminAuthorizer.h"
#include "platform/ConnectivityWatchers.h"
#include "platform/ListeningSockets.h"
#include "platform/LoginItem.h"
#include "platform/MachineIdentity.h"
#include "platform/NetworkInterfaces.h"
#include "platform/SystemProxy.h"

#include <functional>
#include <memory>

// The platform services the controller uses, each replaceable in tests.
struct PlatformServices {
    std::unique_ptr<SystemProxy> systemProxy;
    std::unique_ptr<AdminAuthorizer> adminAuthorizer;
    std::unique_ptr<LoginItem> loginItem;
    std::unique_ptr<MachineIdentity> machineIdentity;
    std::unique_ptr<ListeningSockets> listeningSockets; // none: owners are not checked
    // While connected, a wake-up or a network change re-checks the core (none: not watched).
    std::unique_ptr<SleepWatcher> sleepWatcher;
    std::unique_ptr<NetworkWatcher> networkWatcher;
    InterfaceLister interfaces;
    QStringList lanInterfacePrefixes;
    std::function<QString()> deviceName; // user-visible computer name, else host name
    QString pkillPath = QStringLiteral("/usr/bin/pkill");

    // The implementations of the platform this runs on, for the given home folder.
    static PlatformServices forHost(const QString& homeDir);
};
