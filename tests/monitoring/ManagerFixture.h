#pragma once

#include "BareEnvironment.h"
#include "controller/MihomoManager.h"

#include <QTemporaryDir>
#include <functional>
#include <memory>

// A controller over a temporary data folder whose core controller is the test's server; no
// platform service but a harmless pkill, so nothing of the desktop is touched.
struct ManagerFixture {
    static QString secret() { return QStringLiteral("monitoring-test-secret"); }

    explicit ManagerFixture(quint16 apiPort, std::unique_ptr<MachineIdentity> identity = {}) {
        ManagerEnvironment environment = TestSupport::bareEnvironment(dir);
        environment.platform.machineIdentity = std::move(identity);
        environment.apiPort = apiPort;
        environment.controllerSecret = secret();
        manager = std::make_unique<MihomoManager>(std::move(environment));
    }

    // Changes the settings as the views do: directly, without saving.
    void edit(const std::function<void(AppConfig&)>& change) {
        AppConfig config = manager->config();
        change(config);
        manager->setConfig(config);
    }

    QTemporaryDir dir;
    std::unique_ptr<MihomoManager> manager;
};
