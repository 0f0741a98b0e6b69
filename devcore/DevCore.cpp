#include "DevCore.h"

#include "ControllerApi.h"
#include "ControllerServer.h"
#include "Log.h"
#include "MixedPortServer.h"

DevCore::DevCore(QString dataDir, QString configPath, CoreConfig config, QObject* parent)
    : QObject(parent), m_dataDir(std::move(dataDir)), m_configPath(std::move(configPath)),
      m_config(std::move(config)), m_api(new ControllerApi(*this, this)),
      m_controller(new ControllerServer(*m_api, m_config.secret, this)),
      m_mixedPort(new MixedPortServer(m_router, m_registry, this)) {
    m_router.apply(m_config);
    announce(m_config);
}

DevCore::~DevCore() {
    stop();
}

QString DevCore::version() {
    return QStringLiteral(VANTREL_DEVCORE_VERSION);
}

bool DevCore::start(QString* error) {
    if (!m_controller->listen(m_config.controllerHost, m_config.controllerPort, error))
        return false;
    if (!m_mixedPort->listen(m_config.mixedPort, m_config.allowLan, error)) {
        m_controller->close();
        return false;
    }
    return true;
}

void DevCore::stop() {
    m_controller->close();
    m_mixedPort->close();
}

QString DevCore::reload(const QString& path) {
    CoreConfigResult loaded = loadCoreConfig(path);
    if (!loaded.config) {
        Log::error(QStringLiteral("reload of %1 refused: %2").arg(path, loaded.error));
        return loaded.error;
    }
    CoreConfig& next = *loaded.config;
    // Ports, controller and secret stay as the core was started; the routing state is replaced.
    m_config.allowLan = next.allowLan;
    m_config.mode = next.mode;
    m_config.logLevel = next.logLevel;
    m_config.proxies = std::move(next.proxies);
    m_config.groups = std::move(next.groups);
    m_config.rules = std::move(next.rules);
    m_router.apply(m_config);
    m_mixedPort->setAllowLan(m_config.allowLan);
    announce(next);
    Log::info(QStringLiteral("configuration reloaded from %1").arg(path));
    return {};
}

void DevCore::setMode(RoutingMode mode) {
    m_router.setMode(mode);
    m_config.mode = mode;
    Log::info(QStringLiteral("mode changed to %1").arg(routingModeText(mode)));
}

bool DevCore::selectGlobal(const QString& name) {
    if (!m_router.selectGlobal(name))
        return false;
    Log::info(QStringLiteral("GLOBAL now selects %1").arg(name));
    return true;
}

void DevCore::announce(const CoreConfig& config) {
    Log::setVerbose(config.logLevel == u"info" || config.logLevel == u"debug");
    if (config.tunRequested)
        Log::warning(QStringLiteral("tun is not supported by this development core; ignored"));
}
