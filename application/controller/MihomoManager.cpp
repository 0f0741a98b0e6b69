#include "controller/MihomoManager.h"

#include "config/MihomoYaml.h"
#include "config/SettingsStore.h"
#include "controller/ConfigurationWriter.h"
#include "controller/CoreSession.h"
#include "platform/SystemProxyKeeper.h"

#include <QNetworkAccessManager>
#include <QRandomGenerator>

namespace {

// 128 random bits as hex: the controller secret lives in memory only.
QString randomSecret() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex());
}

} // namespace

MihomoManager::MihomoManager(ManagerEnvironment environment, QObject* parent)
    : QObject(parent), m_env(std::move(environment)) {
    m_secret = m_env.controllerSecret.isEmpty() ? randomSecret() : m_env.controllerSecret;
    m_statusMessage = QStringLiteral("未连接");
    m_network = new QNetworkAccessManager(this);
    m_configurationWriter = std::make_unique<ConfigurationWriter>(m_env.paths);
    m_session = std::make_unique<CoreSession>(CoreSession::Setup::from(m_env, m_secret), m_network,
                                              [this] { return startPlan(); });
    QObject::connect(m_session.get(), &CoreSession::stateChanged, this,
                     &MihomoManager::onSessionStateChanged);
    QObject::connect(m_session.get(), &CoreSession::failed, this,
                     [this](const ControlError& error) { setErrorMessage(error.description); });
    QObject::connect(m_session.get(), &CoreSession::rechecked, this, &MihomoManager::testLatency);
    m_proxyKeeper = std::make_unique<SystemProxyKeeper>(m_env.platform.systemProxy.get(),
                                                        m_env.paths.proxySnapshotFile());
    if (m_env.platform.sleepWatcher)
        QObject::connect(m_env.platform.sleepWatcher.get(), &SleepWatcher::resumed, this,
                         &MihomoManager::recheckCore);
    if (m_env.platform.networkWatcher)
        QObject::connect(m_env.platform.networkWatcher.get(), &NetworkWatcher::changed, this,
                         &MihomoManager::recheckCore);
    // The data folder, owner-only since it holds the access token.
    ensurePrivateFolder(m_env.paths.dataDir);
    // Settings, with their fallbacks.
    m_config = SettingsStore(configFilePath(),
                             m_env.paths.bundle.resource(QStringLiteral("default_config.json")))
                   .load();
    // Launcher check, login item and orphan clean-up need the constructed controller.
    initializeAfterConstruction();
}

MihomoManager::~MihomoManager() {
    // The session goes first, while what its signals reach is still whole.
    QObject::disconnect(m_session.get(), nullptr, this, nullptr);
    m_session.reset();
}

void MihomoManager::saveConfig() {
    SettingsStore(configFilePath(), QString()).save(m_config);
}

void MihomoManager::importAccount(const AccountImport& account) {
    setConfig(account.appliedTo(m_config));
    saveConfig();
    refreshQuota(); // the token, and so the account the quota belongs to, may have changed
    // The running core keeps the old node until it starts again with the new configuration; a
    // connect still running wrote the old one.
    if (connectionActive())
        reconnectAfterPause();
}

QString MihomoManager::buildMihomoYAML() const {
    return ::buildMihomoYAML(m_config, yamlInputs());
}

MihomoYamlInputs MihomoManager::yamlInputs() const {
    return {m_env.mixedPort, m_env.apiPort, m_secret};
}

QString MihomoManager::currentDeviceName() const {
    return m_env.platform.deviceName ? m_env.platform.deviceName() : QString();
}

void MihomoManager::setLaunchAtLogin(bool enabled) {
    if (LoginItem* item = m_env.platform.loginItem.get()) {
        item->setRegistered(enabled, m_env.paths.bundle.executable);
        setLaunchAtLoginState(item->isRegistered());
    } else {
        setLaunchAtLoginState(false);
    }
}

void MihomoManager::setAutoConnect(bool enabled) {
    AppConfig changed = m_config;
    changed.autoConnect = enabled;
    setConfig(changed);
    saveConfig();
}

// Every assignment notifies, also when the value is unchanged: the views simply redraw.
#define VANTREL_DEFINE_SETTER(Type, setter, member, signal)                                        \
    void MihomoManager::setter(Type value) {                                                       \
        member = value;                                                                            \
        emit signal();                                                                             \
    }

VANTREL_DEFINE_SETTER(bool, setIsConnected, m_isConnected, isConnectedChanged)
VANTREL_DEFINE_SETTER(bool, setIsBusy, m_isBusy, isBusyChanged)
VANTREL_DEFINE_SETTER(const AppConfig&, setConfig, m_config, configChanged)
VANTREL_DEFINE_SETTER(const OptionalQuota&, setQuota, m_quota, quotaChanged)
VANTREL_DEFINE_SETTER(const QString&, setQuotaError, m_quotaError, quotaErrorChanged)
VANTREL_DEFINE_SETTER(const QString&, setStatusMessage, m_statusMessage, statusMessageChanged)
VANTREL_DEFINE_SETTER(const QString&, setErrorMessage, m_errorMessage, errorMessageChanged)
VANTREL_DEFINE_SETTER(const OptionalLatency&, setLatencyMs, m_latencyMs, latencyMsChanged)
VANTREL_DEFINE_SETTER(qint64, setUpSpeed, m_upSpeed, upSpeedChanged)
VANTREL_DEFINE_SETTER(qint64, setDownSpeed, m_downSpeed, downSpeedChanged)
VANTREL_DEFINE_SETTER(bool, setTunPrivilegedReady, m_tunPrivilegedReady, tunPrivilegedReadyChanged)
VANTREL_DEFINE_SETTER(bool, setShowSettings, m_showSettings, showSettingsChanged)
VANTREL_DEFINE_SETTER(bool, setShowRules, m_showRules, showRulesChanged)
VANTREL_DEFINE_SETTER(bool, setLaunchAtLoginState, m_launchAtLogin, launchAtLoginChanged)
VANTREL_DEFINE_SETTER(const ConnectionItems&, setRecentConnections, m_recentConnections,
                      recentConnectionsChanged)
VANTREL_DEFINE_SETTER(const QString&, setNewRuleInput, m_newRuleInput, newRuleInputChanged)
VANTREL_DEFINE_SETTER(CustomRuleAction, setNewRuleAction, m_newRuleAction, newRuleActionChanged)

#undef VANTREL_DEFINE_SETTER
