// The shell in one process: the tray menu's entries in each state, its commands, the tray icon,
// the main window's show and close behaviour, and quitting while connected.
#include "App.h"
#include "ManagerTestAccess.h"
#include "TerminationSignals.h"
#include "TestBundle.h"
#include "TestSupport.h"

#include "controller/MihomoManager.h"

#include <QAction>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QtTest>

#include <csignal>

namespace {

// The visible entries, "-" for a separator.
QStringList entries(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        if (action->isVisible())
            texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return texts;
}

QAction* entry(const QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->isVisible() && action->text() == text)
            return action;
    }
    return nullptr;
}

QImage rendered(const QIcon& icon) {
    return icon.pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_ARGB32);
}

QuotaInfo quotaUsing(qint64 usedBytes) {
    QuotaInfo quota;
    quota.ok = true;
    quota.quotaBytes = 6'000'000'000'000;
    quota.usedBytes = usedBytes;
    return quota;
}

} // namespace

class ShellTrayTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_bundle = std::make_unique<TestBundle>();
        QVERIFY(m_bundle->isValid());
        m_manager = std::make_unique<MihomoManager>(m_bundle->environment());
        // Quota requests go to a port nobody listens on: they fail fast, and visibly.
        AppConfig config = m_manager->config();
        config.apiBaseURL = QStringLiteral("http://127.0.0.1:%1").arg(TestSupport::freeLocalPort());
        m_manager->setConfig(config);
        m_app = std::make_unique<VantrelVPNApp>(*m_manager);
    }

    void cleanup() {
        m_app.reset();
        if (m_manager)
            m_manager->disconnect();
        m_manager.reset();
        m_bundle.reset();
    }

    void menuEntriesFollowTheState_data() {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QString>("status");
        QTest::addColumn<qint64>("usedBytes"); // -1: no quota received
        QTest::addColumn<QStringList>("expected");

        const QStringList tail = {QStringLiteral("智能分流"), QStringLiteral("全局模式"),
                                  QStringLiteral("-"), QStringLiteral("退出 Miravo VPN")};
        QTest::newRow("not connected, no quota")
            << false << QStringLiteral("未连接") << qint64(-1)
            << (QStringList{QStringLiteral("状态: 未连接"), QStringLiteral("-"),
                            QStringLiteral("立即连接")} +
                tail);
        QTest::newRow("connected with quota")
            << true << QStringLiteral("已连接") << qint64(1'500'000'000'000)
            << (QStringList{QStringLiteral("状态: 已连接"),
                            QStringLiteral("月度已用: 1.50 TB / 6.00 TB"), QStringLiteral("-"),
                            QStringLiteral("断开连接")} +
                tail);
        QTest::newRow("connected in TUN mode, no quota")
            << true << QStringLiteral("虚拟网卡已连接") << qint64(-1)
            << (QStringList{QStringLiteral("状态: 虚拟网卡已连接"), QStringLiteral("-"),
                            QStringLiteral("断开连接")} +
                tail);
        // While a connect runs the status line still reads "not connected".
        QTest::newRow("connecting, quota known")
            << false << QStringLiteral("正在启动…") << qint64(0)
            << (QStringList{QStringLiteral("状态: 未连接"),
                            QStringLiteral("月度已用: 0 B / 6.00 TB"), QStringLiteral("-"),
                            QStringLiteral("立即连接")} +
                tail);
    }

    void menuEntriesFollowTheState() {
        QFETCH(bool, connected);
        QFETCH(QString, status);
        QFETCH(qint64, usedBytes);
        QFETCH(QStringList, expected);

        MihomoManagerTestAccess::setStatusMessage(*m_manager, status);
        MihomoManagerTestAccess::setQuota(*m_manager,
                                          usedBytes < 0 ? OptionalQuota() : quotaUsing(usedBytes));
        MihomoManagerTestAccess::setIsConnected(*m_manager, connected);

        const QMenu* menu = m_app->trayIcon().contextMenu();
        QVERIFY(menu);
        QCOMPARE(entries(menu), expected);
        for (const QAction* action : menu->actions()) {
            if (!action->isVisible())
                continue;
            const bool line = action->text().startsWith(QStringLiteral("状态")) ||
                              action->text().startsWith(QStringLiteral("月度"));
            QCOMPARE(action->isEnabled(), !line || action->isSeparator());
            QVERIFY(!action->isCheckable());
        }
    }

    void modeCommandsSwitchTheMode_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<ProxyMode>("from");
        QTest::addColumn<ProxyMode>("to");
        QTest::newRow("global") << QStringLiteral("全局模式") << ProxyMode::Rule
                                << ProxyMode::Global;
        QTest::newRow("rule") << QStringLiteral("智能分流") << ProxyMode::Global << ProxyMode::Rule;
    }

    void modeCommandsSwitchTheMode() {
        QFETCH(QString, text);
        QFETCH(ProxyMode, from);
        QFETCH(ProxyMode, to);
        AppConfig config = m_manager->config();
        config.mode = from;
        m_manager->setConfig(config);

        QAction* command = entry(m_app->trayIcon().contextMenu(), text);
        QVERIFY(command);
        command->trigger();
        QTRY_COMPARE(m_manager->config().mode, to);
    }

    void connectAndDisconnectFromTheMenuWithTheWindowClosed() {
        m_app->mainWindow().setTrayAvailable([] { return true; });
        m_app->showMainWindow();
        m_app->mainWindow().close();
        QVERIFY(!m_app->mainWindow().isVisible());
        const QMenu* menu = m_app->trayIcon().contextMenu();
        const QImage disconnectedIcon = rendered(QIcon(QStringLiteral(":/tray/bolt.shield.svg")));
        const QImage connectedIcon = rendered(QIcon(QStringLiteral(":/tray/bolt.shield.fill.svg")));
        QVERIFY(disconnectedIcon != connectedIcon);
        QCOMPARE(rendered(m_app->trayIcon().icon()), disconnectedIcon);

        entry(menu, QStringLiteral("立即连接"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->isConnected(), 20000);
        QVERIFY(m_bundle->proxiesPointHere());
        QCOMPARE(rendered(m_app->trayIcon().icon()), connectedIcon);
        QCOMPARE(entries(menu).value(2), QStringLiteral("断开连接"));

        entry(menu, QStringLiteral("断开连接"))->trigger();
        QTRY_VERIFY(!m_manager->isConnected());
        QCOMPARE(rendered(m_app->trayIcon().icon()), disconnectedIcon);
        QCOMPARE(entries(menu).value(2), QStringLiteral("立即连接"));
        QVERIFY(m_bundle->corePids().isEmpty());
    }

    void quitWhileConnectedStopsTheCoreAndTheProxies() {
        m_app->showMainWindow();
        const QMenu* menu = m_app->trayIcon().contextMenu();
        entry(menu, QStringLiteral("立即连接"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->isConnected(), 20000);
        QVERIFY(!m_bundle->corePids().isEmpty());

        // The command disconnects at once; the terminate hook then runs once more.
        entry(menu, QStringLiteral("退出 Miravo VPN"))->trigger();
        QVERIFY(!m_manager->isConnected());
        m_app->delegate().applicationWillTerminate();
        QVERIFY(!m_manager->isConnected());
        QTRY_VERIFY(m_bundle->corePids().isEmpty());
        QCOMPARE(
            m_bundle->gsetting(QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode")),
            QStringLiteral("'none'"));
    }

    void terminationSignalWhileConnectedStopsTheCoreAndTheProxies() {
        m_app->showMainWindow();
        entry(m_app->trayIcon().contextMenu(), QStringLiteral("立即连接"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->isConnected(), 20000);
        QVERIFY(m_bundle->proxiesPointHere());

        // As the executable wires it: the signal ends the event loop, and the terminate hook
        // disconnects on the way out. Without a tray here, the window must not hold the quit up.
        TerminationSignals termination({SIGTERM});
        connect(&termination, &TerminationSignals::received, m_app.get(), &VantrelVPNApp::quit);
        QTimer::singleShot(0, [] { ::raise(SIGTERM); });
        QCOMPARE(QApplication::exec(), 0);

        QVERIFY(!m_manager->isConnected());
        QVERIFY(!m_bundle->proxiesPointHere());
        QTRY_VERIFY(m_bundle->corePids().isEmpty());
    }

    void eachShowingRunsTheWindowShownHook() {
        QVERIFY(!m_app->delegate().manager);
        for (int showing = 0; showing < 2; ++showing) {
            MihomoManagerTestAccess::setQuota(*m_manager, std::nullopt);
            MihomoManagerTestAccess::setQuotaError(*m_manager, QString());
            m_app->showMainWindow();
            QCOMPARE(m_app->delegate().manager.data(), m_manager.get());
            // Quota polling was (re)started: the request to the closed port failed.
            QTRY_VERIFY(!m_manager->quotaError().isEmpty());
            m_app->mainWindow().hide();
        }
    }

    void closingTheWindowHidesItOrMinimisesIt_data() {
        QTest::addColumn<bool>("trayAvailable");
        QTest::newRow("with a tray") << true;
        QTest::newRow("without a tray") << false;
    }

    void closingTheWindowHidesItOrMinimisesIt() {
        QFETCH(bool, trayAvailable);
        MainWindow& window = m_app->mainWindow();
        window.setTrayAvailable([trayAvailable] { return trayAvailable; });
        m_app->showMainWindow();
        QCOMPARE(window.windowTitle(), QStringLiteral("Miravo VPN"));
        // A fixed-size panel offers no maximise button.
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);
        window.move(137, 91);
        const QPoint leftAt = window.pos();
        QCOMPARE(window.close(), trayAvailable);
        QCOMPARE(window.isVisible(), !trayAvailable);
        QCOMPARE(window.isMinimized(), !trayAvailable);

        // A left click on the tray icon, or a second launch, brings it back.
        emit m_app->trayIcon().activated(QSystemTrayIcon::Trigger);
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
        QCOMPARE(window.pos(), leftAt); // where the user left it
    }

    void onlyALeftClickOpensTheWindow() {
        emit m_app->trayIcon().activated(QSystemTrayIcon::Context);
        QVERIFY(!m_app->mainWindow().isVisible());
        emit m_app->trayIcon().activated(QSystemTrayIcon::Trigger);
        QVERIFY(m_app->mainWindow().isVisible());
    }

private:
    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<MihomoManager> m_manager;
    std::unique_ptr<VantrelVPNApp> m_app;
};

QTEST_MAIN(ShellTrayTest)
#include "tst_shell_tray.moc"
