#pragma once

#include "config/AccountImport.h"
#include "config/AppConfig.h"
#include "controller/ControlError.h"
#include "controller/ManagerEnvironment.h"
#include "controller/PortGuard.h"
#include "monitoring/MonitoringTypes.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class QTimer;
class CoreSupervisor;
class CoreApiClient;
class SystemProxyKeeper;
class TrafficStream;

using OptionalQuota = std::optional<QuotaInfo>;
using OptionalLatency = std::optional<qint64>;
using ConnectionItems = QList<ActiveConnectionItem>;

// The one controller: owns the settings, the core process and the connection state the views
// show. Lives on the main thread; every property assignment notifies, changed or not.
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

    void setIsConnected(bool value);
    void setIsBusy(bool value);
    void setConfig(const AppConfig& value);
    void setQuota(const OptionalQuota& value);
    void setQuotaError(const QString& value);
    void setStatusMessage(const QString& value);
    void setErrorMessage(const QString& value);
    void setLatencyMs(const OptionalLatency& value);
    void setUpSpeed(qint64 value);
    void setDownSpeed(qint64 value);
    void setTunPrivilegedReady(bool value);
    void setShowSettings(bool value);
    void setShowRules(bool value);
    void setLaunchAtLoginState(bool value);
    void setRecentConnections(const ConnectionItems& value);
    void setNewRuleInput(const QString& value);
    void setNewRuleAction(CustomRuleAction value);

    // --- constants and derived locations --------------------------------------------------
    qint64 mixedPort() const { return m_env.mixedPort; }
    qint64 apiPort() const { return m_env.apiPort; }
    QString appSupportDir() const { return m_env.paths.dataDir; }
    QString configFileURL() const { return m_env.paths.configFile(); }
    QString mihomoConfigURL() const { return m_env.paths.mihomoConfigFile(); }
    QString coreBinaryURL() const { return m_env.paths.bundle.coreBinary; }
    QString helperBinaryURL() const { return m_env.paths.bundle.helperBinary; }
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
    bool checkLauncherPrivileges() const;
    // Asks for an administrator password without blocking the event loop; on success
    // publishes tunPrivilegedReady from a fresh check.
    QCoro::Task<TunAuthorization> authorizeTunCore();

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
    // Start-up steps after the settings are loaded: launcher check, login item, orphan clean-up.
    void initializeAfterConstruction();

    // --- connection control (ConnectionControl.cpp) -----------------------------------------
    // The connect task; `generation` identifies it, disconnect bumps m_connectGeneration.
    // `restoring`: a restart after an unexpected exit, which keeps "正在重新连接…" and whose
    // failure gives the connection up.
    QCoro::Task<> runConnectTask(quint64 generation, bool restoring);
    void startConnectTask();
    QCoro::Task<> authorizeThenConnect();
    QCoro::Task<> authorizeThenEnableTun(quint64 request);
    void applyTunSwitch(bool enabled);
    // Polls the controller until it answers and both ports are held by our core.
    QCoro::Task<std::optional<ControlError>> waitForControllerReady(quint64 generation,
                                                                    PortGuard ports);
    bool connectStillWanted(const QPointer<MihomoManager>& self, quint64 generation) const;
    void failConnect(const ControlError& error);
    void stopCoreProcess();
    void cleanupOrphanCore();
    void applySystemProxy(bool enabled);
    void onCoreEndedUnexpectedly();
    // Recovery: the core is started again after a pause, unless it ended too often lately.
    void beginRecovery();
    void giveUpRecovery();
    // After sleep or a network change: the core must answer, its connections are closed.
    void recheckCore();
    QCoro::Task<> recheckCoreTask(quint64 generation);
    // Disconnects now and connects again after the short pause, in the settings then current.
    void reconnectAfterPause();

    QNetworkAccessManager* m_network = nullptr;       // shared by every request to the core
    std::unique_ptr<CoreApiClient> m_coreApi;         // controller requests, with the secret
    CoreSupervisor* m_supervisor = nullptr;           // child: process, pipe, core.log, geodata
    std::unique_ptr<SystemProxyKeeper> m_proxyKeeper; // the desktop's proxies and their snapshot
    quint64 m_connectGeneration = 0;
    bool m_connectRunning = false;
    bool m_startupChecksDone = false;
    bool m_awaitingReadiness = false;
    bool m_authorizing = false;      // the administrator dialog is open
    quint64 m_tunSwitchRequest = 0;  // bumped by every toggleTun
    bool m_recovering = false;       // between an unexpected exit and its restart's outcome
    QList<qint64> m_recentCoreExits; // m_recoveryClock times of exits within the window
    QElapsedTimer m_recoveryClock;   // started with the controller
    // --- end of connection control ------------------------------------------------------------

    // --- monitoring (Monitoring.cpp) --------------------------------------------------------
    // The traffic stream: started once connected, cancelled by disconnect and by a new start.
    void startTrafficStream();
    void stopTrafficStream();

    TrafficStream* m_trafficStream = nullptr; // child, created on the first start
    QTimer* m_quotaTimer = nullptr;           // child, replaced by every startQuotaPolling
    // --- end of monitoring -------------------------------------------------------------------

    ManagerEnvironment m_env;
    QString m_secret;

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
