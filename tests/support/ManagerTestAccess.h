#pragma once

#include "controller/MihomoManager.h"

// Sets the values the controller publishes, for tests of views and monitoring that need a
// connected look without a core. The controller alone assigns them otherwise.
struct MihomoManagerTestAccess {
    static void setIsConnected(MihomoManager& manager, bool value) {
        manager.setIsConnected(value);
    }
    static void setIsBusy(MihomoManager& manager, bool value) { manager.setIsBusy(value); }
    static void setQuota(MihomoManager& manager, const OptionalQuota& value) {
        manager.setQuota(value);
    }
    static void setQuotaError(MihomoManager& manager, const QString& value) {
        manager.setQuotaError(value);
    }
    static void setStatusMessage(MihomoManager& manager, const QString& value) {
        manager.setStatusMessage(value);
    }
    static void setErrorMessage(MihomoManager& manager, const QString& value) {
        manager.setErrorMessage(value);
    }
    static void setLatencyMs(MihomoManager& manager, const OptionalLatency& value) {
        manager.setLatencyMs(value);
    }
    static void setUpSpeed(MihomoManager& manager, qint64 value) { manager.setUpSpeed(value); }
    static void setDownSpeed(MihomoManager& manager, qint64 value) { manager.setDownSpeed(value); }
    static void setLaunchAtLoginState(MihomoManager& manager, bool value) {
        manager.setLaunchAtLoginState(value);
    }
    static void setRecentConnections(MihomoManager& manager, const ConnectionItems& value) {
        manager.setRecentConnections(value);
    }
};
