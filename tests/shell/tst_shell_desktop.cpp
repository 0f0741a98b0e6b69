// The shell on a desktop bus of the test's own: a start with --hidden, a tray host that appears
// late, auto-connect at start-up and the desktop notifications, against fake desktop services.
#include "App.h"
#include "LaunchOptions.h"
#include "ManagerTestAccess.h"
#include "PrivateSessionBus.h"
#include "StatusNotifierItem.h"
#include "TestBundle.h"
#include "TestSupport.h"

#include "controller/MihomoManager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");

// A tray host's watcher on its own connection to the bus: records the items registered.
class FakeStatusNotifierWatcher : public QObject {
    Q_OBJECT
public:
    explicit FakeStatusNotifierWatcher(const QString& address)
        : m_bus(QDBusConnection::connectToBus(address, QStringLiteral("fake-watcher"))) {}
    ~FakeStatusNotifierWatcher() override {
        m_bus.unregisterService(kWatcher);
        m_bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-watcher"));
    }
    bool appear() {
        return m_bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), kWatcher, this,
                                    QDBusConnection::ExportAllSlots) &&
               m_bus.registerService(kWatcher);
    }
    QDBusConnection& bus() { return m_bus; }
    QStringList items;

public slots:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }

private:
    QDBusConnection m_bus;
};

// A notification service on its own connection: records summary and body of each Notify.
class FakeNotificationService : public QObject {
    Q_OBJECT
public:
    explicit FakeNotificationService(const QString& address)
        : m_bus(QDBusConnection::connectToBus(address, QStringLiteral("fake-notifications"))) {
        m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), kNotifications, this,
                             QDBusConnection::ExportAllSlots);
        m_bus.registerService(kNotifications);
    }
    ~FakeNotificationService() override {
        m_bus.unregisterService(kNotifications);
        m_bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
    }
    QStringList bodies;
    QStringList summaries;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        summaries << summary;
        bodies << body;
        return uint(bodies.size());
    }

private:
    QDBusConnection m_bus;
};

QuotaInfo quotaUsing(qint64 usedBytes, const QString& cycleStart) {
    QuotaInfo quota;
    quota.ok = true;
    quota.quotaBytes = 1'000'000;
    quota.usedBytes = usedBytes;
    quota.cycleStart = cycleStart;
    return quota;
}

} // namespace

class ShellDesktopTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Before anything here touches the session bus.
        QVERIFY2(m_bus.start(), "dbus-daemon must be installed");
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }

    void init() {
        m_bundle = std::make_unique<TestBundle>();
        QVERIFY(m_bundle->isValid());
        ManagerEnvironment environment = m_bundle->environment();
        environment.recoveryPausesMs = {20, 20, 20};
        m_manager = std::make_unique<MihomoManager>(std::move(environment));
        // Quota requests go to a port nobody listens on: they fail fast, and visibly.
        AppConfig config = m_manager->config();
        config.apiBaseURL = QStringLiteral("http://127.0.0.1:%1").arg(TestSupport::freeLocalPort());
        config.tunEnabled = false;
        m_manager->setConfig(config);
    }

    void cleanup() {
        m_app.reset();
        if (m_manager)
            m_manager->disconnect();
        m_manager.reset();
        m_bundle.reset();
    }

    void hiddenStartWithATrayShowsOnlyTheIconAndConnects() {
        FakeStatusNotifierWatcher watcher(m_bus.address());
        QVERIFY(watcher.appear());
        m_manager->setAutoConnect(true);
        m_app = std::make_unique<VantrelVPNApp>(*m_manager);
        m_app->start(LaunchOptions{true});

        StatusNotifierItem* item = m_app->statusNotifierItem();
        QVERIFY(item);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.items, QStringList{item->serviceName()}, 10'000);
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->isConnected(), 20'000);
        QVERIFY(!m_app->mainWindow().isVisible());
        // Quota polling runs as if the window had been shown; quitting disconnects.
        QVERIFY(m_manager->findChild<QTimer*>(QStringLiteral("quotaTimer")));
        QTRY_VERIFY(!m_manager->quotaError().isEmpty());
        QCOMPARE(m_app->delegate().manager.data(), m_manager.get());

        // The host reads the icon and the title, and a click opens the window.
        QDBusMessage getAll = QDBusMessage::createMethodCall(
            item->serviceName(), QStringLiteral("/StatusNotifierItem"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
        getAll << QStringLiteral("org.kde.StatusNotifierItem");
        const QDBusMessage properties = watcher.bus().call(getAll, QDBus::BlockWithGui, 10'000);
        QVERIFY2(properties.type() == QDBusMessage::ReplyMessage,
                 qPrintable(properties.errorMessage()));
        const QVariantMap values = qdbus_cast<QVariantMap>(properties.arguments().value(0));
        QCOMPARE(values.value(QStringLiteral("Title")).toString(), QStringLiteral("Miravo VPN"));
        QVERIFY(values.contains(QStringLiteral("IconPixmap")));
        QVERIFY(values.contains(QStringLiteral("ToolTip")));
        QDBusMessage activate = QDBusMessage::createMethodCall(
            item->serviceName(), QStringLiteral("/StatusNotifierItem"),
            QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
        activate << 0 << 0;
        watcher.bus().call(activate, QDBus::NoBlock);
        QTRY_VERIFY_WITH_TIMEOUT(m_app->mainWindow().isVisible(), 10'000);
    }

    void lateTrayHostGetsTheIcon() {
        QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(kWatcher));
        m_app = std::make_unique<VantrelVPNApp>(*m_manager);
        m_app->start(LaunchOptions{true});
        // No tray yet: the window is there, minimised, and the shown hook ran.
        QVERIFY(!m_app->trayShown());
        QVERIFY(m_app->mainWindow().isVisible());
        QVERIFY(m_app->mainWindow().isMinimized());
        QCOMPARE(m_app->delegate().manager.data(), m_manager.get());
        QVERIFY(!m_manager->isConnected()); // auto-connect is off

        // The tray host comes up later, as at login.
        FakeStatusNotifierWatcher watcher(m_bus.address());
        QVERIFY(watcher.appear());
        QTRY_COMPARE_WITH_TIMEOUT(watcher.items,
                                  QStringList{m_app->statusNotifierItem()->serviceName()}, 10'000);
        QTRY_VERIFY(m_app->statusNotifierItem()->isRegistered());
        QVERIFY(m_app->trayShown());
    }

    void notificationsTellWhatHappenedUnseen() {
        FakeNotificationService service(m_bus.address());
        m_app = std::make_unique<VantrelVPNApp>(*m_manager);

        // A failed connect with the window hidden is notified; in front of the user it is not.
        const QString core = m_bundle->layout().coreBinary;
        QVERIFY(QFile::rename(core, core + QStringLiteral(".away")));
        m_manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!m_manager->isBusy(), 10'000);
        QTRY_COMPARE_WITH_TIMEOUT(service.bodies,
                                  QStringList{QStringLiteral("未找到内核 vantrel-core")}, 10'000);
        QCOMPARE(service.summaries, QStringList{QStringLiteral("Miravo VPN")});
        m_app->showMainWindow();
        m_manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!m_manager->isBusy(), 10'000);
        QCOMPARE(m_manager->errorMessage(), QStringLiteral("未找到内核 vantrel-core"));
        QVERIFY(QFile::rename(core + QStringLiteral(".away"), core));

        // A core that dies is restored, and both steps are told.
        m_manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->isConnected(), 20'000);
        QCOMPARE(::kill(pid_t(m_bundle->corePids().value(0)), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(service.bodies.size() >= 3, 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->isConnected(), 20'000);
        QTRY_COMPARE_WITH_TIMEOUT(service.bodies,
                                  (QStringList{QStringLiteral("未找到内核 vantrel-core"),
                                               QStringLiteral("连接已中断，正在重新连接…"),
                                               QStringLiteral("已重新连接")}),
                                  10'000);
        m_manager->disconnect();

        // 90 % of the month's traffic: once per cycle.
        service.bodies.clear();
        MihomoManagerTestAccess::setQuota(*m_manager,
                                          quotaUsing(899'999, QStringLiteral("2026-12-01")));
        MihomoManagerTestAccess::setQuota(*m_manager,
                                          quotaUsing(900'000, QStringLiteral("2026-12-01")));
        MihomoManagerTestAccess::setQuota(*m_manager,
                                          quotaUsing(950'000, QStringLiteral("2026-12-01")));
        MihomoManagerTestAccess::setQuota(*m_manager,
                                          quotaUsing(990'000, QStringLiteral("2027-01-01")));
        QTRY_COMPARE_WITH_TIMEOUT(service.bodies.size(), 2, 10'000);
        QCOMPARE(service.bodies, QStringList(2, QStringLiteral("本月流量已用 90%")));
    }

private:
    PrivateSessionBus m_bus;
    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<MihomoManager> m_manager;
    std::unique_ptr<VantrelVPNApp> m_app;
};

QTEST_MAIN(ShellDesktopTest)
#include "tst_shell_desktop.moc"
