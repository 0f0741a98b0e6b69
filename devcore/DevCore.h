#pragma once

#include "ConnectionRegistry.h"
#include "CoreConfig.h"
#include "Router.h"

#include <QObject>

class ControllerApi;
class ControllerServer;
class MixedPortServer;

// The running core: the configuration in force, routing, the mixed port and the controller.
class DevCore : public QObject {
    Q_OBJECT
public:
    DevCore(QString dataDir, QString configPath, CoreConfig config, QObject* parent = nullptr);
    ~DevCore() override;

    static QString version();

    // Binds the controller and the mixed port; false with a reason when either is taken.
    bool start(QString* error);
    void stop();

    // Re-reads a configuration file; returns the reason when it is refused, leaving all as it was.
    QString reload(const QString& path);
    void setMode(RoutingMode mode);
    bool selectGlobal(const QString& name);

    const CoreConfig& config() const { return m_config; }
    const Router& router() const { return m_router; }
    ConnectionRegistry& registry() { return m_registry; }
    const QString& dataDir() const { return m_dataDir; }
    const QString& configPath() const { return m_configPath; }

private:
    void announce(const CoreConfig& config);

    QString m_dataDir;
    QString m_configPath;
    CoreConfig m_config;
    Router m_router;
    ConnectionRegistry m_registry;
    ControllerApi* m_api;
    ControllerServer* m_controller;
    MixedPortServer* m_mixedPort;
};
