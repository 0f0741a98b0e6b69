#pragma once

#include "config/AccountImport.h"
#include "config/AppConfig.h"
#include "controller/CancellationTicket.h"
#include "controller/ControlError.h"
#include "controller/CoreSession.h"
#include "controller/ManagerEnvironment.h"
#include "monitoring/MonitoringTypes.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class QNetworkRequest;
class QTimer;
class SystemProxyKeeper;
class TrafficStream;
class ConfigurationWriter;
struct MihomoYamlInputs;

using OptionalQuota = std::optional<QuotaInfo>;
using OptionalLatency = std::optional<qint64>;
using ConnectionItems = QList<ActiveConnectionItem>;

// The one controller the views use: owns the settings, the core session and the values the views
// show. Lives on the main thread. Every property assignment notifies, changed or not; the
// connection's values (connected, busy, status text) are derived from the session's state in
// publishConnectionState() and published when they change.
class MihomoManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected WRITE setIsConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(bool isBusy READ isBusy WRITE setIsBusy NOTIFY isBusyChanged)
    Q_PROPERTY(AppConfig config READ config WRITE setConfig NOTIFY configChanged)
    Q_PROPERTY(OptionalQuota quota READ quota WRITE setQuota NOTIFY quotaChanged)
    Q_PROPERTY(QString quotaError READ quotaError WRITE setQuotaError NOTIFY quotaErrorChanged)
    Q_PROPERTY(
        QString statusMessage READ statusMessage WRITE setStatusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(
        QString errorMessage READ errorMessage WRITE setErrorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(OptionalLatency latencyMs READ latencyMs WRITE setLatencyMs NOTIFY latencyMsChanged)
    Q_PROPERTY(qint64 upSpeed READ upSpeed WRITE setUpSpeed NOTIFY upSpeedChanged)
    Q_PROPERTY(qint64 downSpeed READ downSpeed WRITE setDownSpeed NOTIFY downSpeedChanged)
    Q_PROPERTY(bool tunPrivilegedReady READ tunPrivilegedReady WRITE setTunPrivilegedReady NOTIFY
                   tunPrivilegedReadyChanged)
    Q_PROPERTY(bool showSettings READ showSettings WRITE setShowSettings NOTIFY showSettingsChanged)
    Q_PROPERTY(bool showRules READ showRules WRITE setShowRules NOTIFY showRulesChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLoginState NOTIFY
                   launchAtLoginChanged)
    Q_PROPERTY(ConnectionItems recentConnections READ recentConnections WRITE setRecentConnections
                   NOTIFY recentConnectionsChanged)
    Q_PROPERTY(
        QString newRuleInput READ newRuleInput WRITE setNewRuleInput NOTIFY newRuleInputChanged)
    Q_PROPERTY(CustomRuleAction newRuleAction READ newRuleAction WRITE setNewRuleAction NOTIFY
                   newRuleActionChanged)

public:
    explicit MihomoManager(ManagerEnvironment environment, QObject* parent = nullptr);
    ~MihomoManager() override;

    // --- observable state -------------------------------------------------------------
    bool isConnected() const { return m_isConnected; }
    bool isBusy() const { return m_isBusy; }
    const AppConfig& config() const { return m_config; }
    const OptionalQuota& quota() const { return m_quota; }
    QString quotaError() const { return m_quotaError; } // empty: none
    QString statusMessage() const { return m_statusMessage; }
    QString errorMessage() const { return m_errorMessage; } // empty: none
    OptionalLatency latencyMs() const { return m_latencyMs; }
    qint64 upSpeed() const { return m_upSpeed; }
    qint64 downSpeed() const { return m_downSpeed; }
    bool tunPrivilegedReady() const { return m_tunPrivilegedReady; }
    bool showSettings() const { return m_showSettings; }
    bool showRules() const { return m_showRules; }
    bool launchAtLogin() const { return m_launchAtLogin; }
    const ConnectionItems& recentConnections() const { return m_recentConnections; }
    QString newRuleInput() const { return m_newRuleInput; }
    CustomRuleAction newRuleAction() const { return m_newRuleAction; }

    // What the views set: the settings they edit (then saved or applied through an operation
    // below), the open sheet and the rule being typed.
    void setConfig(const AppConfig& value);
    void setShowSettings(bool value);
    void setShowRules(bool value);
    void setNewRuleInput(const QString& value);
    void setNewRuleAction(CustomRuleAction value);

    // --- constants and derived locations --------------------------------------------------
    qint64 mixedPort() const { return m_env.mixedPort; }
    qint64 apiPort() const { return m_env.apiPort; }
    QString appSupportDir() const { return m_env.paths.dataDir; }
    QString configFilePath() const { return m_env.paths.configFile(); }
    QString mihomoConfigPath() const { return m_env.paths.mihomoConfigFile(); }
    QString coreBinaryPath() const { return m_env.paths.bundle.coreBinary; }
    QString helperBinaryPath() const { return m_env.paths.bundle.helperBinary; }
    QString currentDeviceName() const;
    QString controllerSecret() const { return m_secret; }
    const ManagerEnvironment& environment() const { return m_env; }

    // --- connection (connect and disconnect) ---------------------------------------------
    void toggleConnection();
    void connect();
    // Ends an orphaned core and resets proxies a crashed run left pointing at it; runs once,
    // at construction unless the environment defers it.
    void finishStartupChecks();
    void disconnect();
    void toggleTun(bool enabled);

    // --- TUN authorisation ------------------------------------------------------------
    // The launcher holds what TUN mode needs and the core beside it is root's alone.
    [[nodiscard]] bool checkLauncherPrivileges() const;
    // Asks for an administrator password without blocking the event loop; on success
    // publishes tunPrivilegedReady from a fresh check.
    [[nodiscard]] QCoro::Task<TunAuthorization> authorizeTunCore();

    // --- settings and configuration --------------------------------------------------------
    void saveConfig();
    QString buildMihomoYAML() const;
    // Takes over a checked account: saves it, refreshes the quota and, while connected,
    // reconnects so that the new node takes effect.
    void importAccount(const AccountImport& account);

    // --- live reconfiguration ------------------------------------------------------------
    void switchMode(ProxyMode mode);
    void addCustomRule(const QString& pattern, CustomRuleAction action);
    void removeCustomRule(const CustomRule& rule);
    void applyRulesAndReload();

    // --- monitoring ------------------------------------------------------------------
    void refreshConnections();
    void testLatency();
    std::optional<QString> localIPv4Address() const;
    void refreshQuota();
    void startQuotaPolling();
    QString hardwareDeviceID() const;

    // --- launch at login -------------------------------------------------------------
    void setLaunchAtLogin(bool enabled);
    // Whether the application connects by itself once it has started; saved at once.
    void setAutoConnect(bool enabled);

signals:
    void isConnectedChanged();
    void isBusyChanged();
    void configChanged();
    void quotaChanged();
    void quotaErrorChanged();
    void statusMessageChanged();
    void errorMessageChanged();
    void latencyMsChanged();
    void upSpeedChanged();
    void downSpeedChanged();
    void tunPrivilegedReadyChanged();
    void showSettingsChanged();
    void showRulesChanged();
    void launchAtLoginChanged();
    void recentConnectionsChanged();
    void newRuleInputChanged();
    void newRuleActionChanged();

private:
    friend struct MihomoManagerTestAccess; // tests set shown values without a core

    // Published values; only the controller itself assigns them.
    void setIsConnected(bool value);
    void setIsBusy(bool value);
    void setQuota(const OptionalQuota& value);
    void setQuotaError(const QString& value);
    void setStatusMessage(const QString& value);
    void setErrorMessage(const QString& value);
    void setLatencyMs(const OptionalLatency& value);
    void setUpSpeed(qint64 value);
    void setDownSpeed(qint64 value);
    void setTunPrivilegedReady(bool value);
    void setLaunchAtLoginState(bool value);
    void setRecentConnections(const ConnectionItems& value);

    // Start-up steps after the settings are loaded: launcher check, login item, orphan clean-up.
    void initializeAfterConstruction();

    // --- connection control (ConnectionControl.cpp) -----------------------------------------
    // Connected, busy and the status text, from the session's state; each is assigned when it
    // changes, the status also when `announceStatus` (every disconnect says "未连接" again).
    void publishConnectionState(bool announceStatus = false);
    void onSessionStateChanged(CoreSession::State state);
    // No connection any more: the stream, the proxies and the live values go back to rest.
    void settleDisconnected();
    // Ends the live-reconfiguration and monitoring tasks of the connection that ends.
    void endConnectionTasks();
    // Whether a connection runs or is being made or restored.
    bool connectionActive() const;
    CoreSession::StartPlan startPlan() const;
    QCoro::Task<> authorizeThenConnect();
    QCoro::Task<> authorizeThenEnableTun(CancellationTicket request);
    void applyTunSwitch(bool enabled);
    void cleanupOrphanCore();
    void applySystemProxy(bool enabled);
    // After sleep or a network change: the core must answer, its connections are closed.
    void recheckCore();
    // Disconnects now and connects again after the short pause, in the settings then current.
    void reconnectAfterPause();

    std::unique_ptr<SystemProxyKeeper> m_proxyKeeper; // the desktop's proxies and their snapshot
    bool m_startupChecksDone = false;
    bool m_authorizing = false;           // the administrator dialog is open
    CancellationTicket m_tunSwitch;       // renewed by every toggleTun that takes effect
    CancellationTicket m_reconnect;       // the connect that follows reconnectAfterPause
    CancellationTicket m_connectionTasks; // live reconfiguration and monitoring requests
    // --- end of connection control ------------------------------------------------------------

    // --- live reconfiguration (LiveReconfiguration.cpp) -----------------------------------
    QCoro::Task<> pushMode(ProxyMode mode, CancellationTicket ticket);
    // Writes the configuration off the main thread, then asks the core to load it.
    QCoro::Task<> reloadCore(CancellationTicket ticket);
    MihomoYamlInputs yamlInputs() const;

    // --- monitoring (Monitoring.cpp) --------------------------------------------------------
    // The traffic stream: started once connected, cancelled by disconnect and by a new start.
    void startTrafficStream();
    void stopTrafficStream();
    QCoro::Task<> loadConnections(CancellationTicket ticket);
    QCoro::Task<> measureLatency(CancellationTicket ticket);
    QCoro::Task<> loadQuota(QNetworkRequest request);

    TrafficStream* m_trafficStream = nullptr; // child, created on the first start
    QTimer* m_quotaTimer = nullptr;           // child, replaced by every startQuotaPolling
    // --- end of monitoring -------------------------------------------------------------------

    ManagerEnvironment m_env;
    QString m_secret;
    QNetworkAccessManager* m_network = nullptr; // child; the core's controller and the quota
    // The running core; declared after what it borrows from the environment, so it goes first.
    std::unique_ptr<CoreSession> m_session;
    std::unique_ptr<ConfigurationWriter> m_configurationWriter; // rule changes while connected

    bool m_isConnected = false;
    bool m_isBusy = false;
    AppConfig m_config;
    OptionalQuota m_quota;
    QString m_quotaError;
    QString m_statusMessage;
    QString m_errorMessage;
    OptionalLatency m_latencyMs;
    qint64 m_upSpeed = 0;
    qint64 m_downSpeed = 0;
    bool m_tunPrivilegedReady = false;
    bool m_showSettings = false;
    bool m_showRules = false;
    bool m_launchAtLogin = false;
    ConnectionItems m_recentConnections;
    QString m_newRuleInput;
    CustomRuleAction m_newRuleAction = CustomRuleAction::Direct;
};
