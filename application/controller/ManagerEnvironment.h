#pragma once

#include "platform/AppPaths.h"
#include "platform/PlatformServices.h"

// Everything the controller takes from outside. The application uses forCurrentUser();
// tests build one over temporary folders, fake tools and free ports.
struct ManagerEnvironment {
    AppPaths paths;
    PlatformServices platform;
    qint64 mixedPort = 17890;
    qint64 apiPort = 19090;
    QString controllerSecret; // empty: a fresh random token per controller
    int tunReconnectDelayMs = 350;
    // The start-up checks that run child processes (orphaned core, proxies left pointing at it)
    // wait for finishStartupChecks(), so the window can appear first. A connect runs them first.
    bool deferStartupChecks = false;

    static ManagerEnvironment forCurrentUser();
};
