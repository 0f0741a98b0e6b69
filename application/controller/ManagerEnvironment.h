#pragma once

#include "config/CoreNames.h"
#include "platform/AppPaths.h"
#include "platform/PlatformServices.h"

// Everything the controller takes from outside. The application uses forCurrentUser();
// tests build one over temporary folders, fake tools and free ports.
struct ManagerEnvironment {
    AppPaths paths;
    PlatformServices platform;
    qint64 mixedPort = CoreNames::defaultMixedPort;
    qint64 apiPort = CoreNames::defaultApiPort;
    QString controllerSecret; // empty: a fresh random token per controller
    int tunReconnectDelayMs = 350;
    // Between two probes of a starting core's controller (25 probes at most).
    int readinessPauseMs = 200;
    // Between two attempts of the traffic stream.
    int trafficRetryPauseMs = 1000;
    // The start-up checks that run child processes (orphaned core, proxies left pointing at it)
    // wait for finishStartupChecks(), so the window can appear first. A connect runs them first.
    bool deferStartupChecks = false;
    // After an unexpected exit of the core the connection is restored by starting it again after
    // each of these pauses in turn; one exit more within the window gives up.
    QList<int> recoveryPausesMs = {1000, 2000, 4000};
    int recoveryWindowMs = 60'000;
    int wakeProbeTimeoutMs = 1000; // the core must answer this fast after sleep or a move

    static ManagerEnvironment forCurrentUser();
};
