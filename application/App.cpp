#include "App.h"

#include "LaunchOptions.h"
#include "Notifications.h"
#include "StatusNotifierItem.h"
#include "controller/MihomoManager.h"
#include "platform/linux/FreedesktopNotifier.h"
#include "ui/ContentView.h"
#include "ui/MenuBarContent.h"

#include <QCloseEvent>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QIcon>
#include <QTimer>
#include <QVBoxLayout>

MihomoManager& SharedState::manager() {
    // Created on first use and kept for the life of the process; never destroyed, so it cannot
    // outlive the QApplication it uses.
    static auto* manager = [] {
        ManagerEnvironment environment = ManagerEnvironment::forCurrentUser();
        environment.deferStartupChecks = true; // run once the window has painted
        return new MihomoManager(std::move(environment));
    }();
    return *manager;
}

void AppDelegate::applicationWillTerminate() {
    if (manager)
        manager->disconnect();
}

MainWindow::MainWindow(QWidget* content)
    : m_trayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); }) {
    // A fixed-size panel: minimise and close, no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Miravo VPN"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The window's size follows its content.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(content);
    // The content covers the whole window, so its paint is the window's first paint.
    content->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Paint) {
        watched->removeEventFilter(this);
        emit firstPainted();
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::setTrayAvailable(std::function<bool()> trayAvailable) {
    m_trayAvailable = std::move(trayAvailable);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_quitting || (m_trayAvailable && m_trayAvailable())) {
        event->accept(); // hidden; the tray icon reopens it
        return;
    }
    event->ignore();
    showMinimized();
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window manager may report the mapping again after show(); the hook runs once per
    // showing (restoring a minimised window counts as one).
    if (!m_announcedVisible) {
        m_announcedVisible = true;
        emit shown();
    }
}

void MainWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_announcedVisible = false;
    if (!isMinimized())
        m_lastPosition = pos();
}

void MainWindow::setVisible(bool visible) {
    // A window manager places a window mapped anew as it likes (often centred); an explicit
    // position brings it back where it was.
    if (visible && !isVisible() && m_lastPosition)
        move(*m_lastPosition);
    QWidget::setVisible(visible);
}

namespace {

constexpr int StartupChecksFallbackMs = 1000;

QString trayIconResource(bool connected) {
    return connected ? QStringLiteral(":/tray/bolt.shield.fill.svg")
                     : QStringLiteral(":/tray/bolt.shield.svg");
}

} // namespace

VantrelVPNApp::VantrelVPNApp(QObject* parent) : VantrelVPNApp(SharedState::manager(), parent) {}

VantrelVPNApp::VantrelVPNApp(MihomoManager& manager, QObject* parent)
    : QObject(parent), m_manager(manager),
      m_window(std::make_unique<MainWindow>(new ContentView(manager))),
      m_menuBarContent(std::make_unique<MenuBarContent>(&manager)) {
    // The tray symbols are compiled into a static library; pull them in.
    Q_INIT_RESOURCE(tray);
    connect(m_window.get(), &MainWindow::shown, this, &VantrelVPNApp::windowShown);
    // The start-up checks run child processes: they wait for the window's first paint, or a
    // moment when the window is not shown at start.
    connect(m_window.get(), &MainWindow::firstPainted, this,
            [this] { QTimer::singleShot(0, this, &VantrelVPNApp::finishStartupChecks); });
    QTimer::singleShot(StartupChecksFallbackMs, this, &VantrelVPNApp::finishStartupChecks);
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &m_delegate,
            &AppDelegate::applicationWillTerminate);
    QGuiApplication::setQuitOnLastWindowClosed(
        m_delegate.applicationShouldTerminateAfterLastWindowClosed());

    m_tray.setToolTip(QStringLiteral("Miravo VPN"));
    m_tray.setContextMenu(m_menuBarContent->menu());
    connect(&m_tray, &QSystemTrayIcon::activated, this, &VantrelVPNApp::trayActivated);
    connect(m_menuBarContent.get(), &MenuBarContent::quitRequested, this, &VantrelVPNApp::quit);
    // The icon follows the connection also while the window is closed.
    connect(&m_manager, &MihomoManager::isConnectedChanged, this, &VantrelVPNApp::updateTrayIcon);
    m_window->setTrayAvailable([this] { return trayShown(); });
    m_systemTray = QSystemTrayIcon::isSystemTrayAvailable();
    if (!m_systemTray)
        watchForLateTray();
    updateTrayIcon();
    m_tray.show();

    m_notifications = std::make_unique<ConnectionNotifications>(
        m_manager,
        std::make_unique<FreedesktopNotifier>(QDBusConnection::sessionBus(),
                                              QGuiApplication::desktopFileName()),
        [this] { return m_window->isVisible() && !m_window->isMinimized(); });
}

void VantrelVPNApp::watchForLateTray() {
    // Qt decides once, at start, whether a tray exists; a tray host that appears later (common
    // at login) gets the icon through an item of our own.
    m_statusNotifier = std::make_unique<StatusNotifierItem>(QDBusConnection::sessionBus());
    m_statusNotifier->setTitle(QStringLiteral("Miravo VPN"));
    m_statusNotifier->setContextMenu(m_menuBarContent->menu());
    connect(m_statusNotifier.get(), &StatusNotifierItem::activated, this,
            &VantrelVPNApp::showMainWindow);
    connect(m_statusNotifier.get(), &StatusNotifierItem::registrationChanged, this, [this] {
        // One icon only: Qt's own, should its tray have come up meanwhile, steps back.
        m_tray.setVisible(!m_statusNotifier->isRegistered());
    });
    m_statusNotifier->start();
}

bool VantrelVPNApp::trayShown() const {
    if (m_systemTray)
        return true;
    return m_statusNotifier &&
           (m_statusNotifier->isRegistered() || m_statusNotifier->isHostAvailable());
}

void VantrelVPNApp::start(const LaunchOptions& options) {
    if (!options.hidden) {
        showMainWindow();
    } else if (trayShown()) {
        // As if the window had been shown: the quit path and quota polling need it.
        windowShown();
    } else {
        // Never unreachable: without a tray the window comes up minimised.
        m_window->showMinimized();
    }
    if (m_manager.config().autoConnect) {
        // Once the window or the tray is up.
        QTimer::singleShot(0, this, [this] { m_manager.toggleConnection(); });
    }
}

VantrelVPNApp::~VantrelVPNApp() {
    // The tray must let go of the menu before the menu goes.
    m_tray.setContextMenu(nullptr);
}

void VantrelVPNApp::showMainWindow() {
    if (m_window->isMinimized())
        m_window->showNormal();
    else
        m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void VantrelVPNApp::quit() {
    m_window->setQuitting();
    QCoreApplication::quit();
}

void VantrelVPNApp::finishStartupChecks() {
    m_manager.finishStartupChecks();
}

void VantrelVPNApp::windowShown() {
    m_delegate.manager = &m_manager;
    m_manager.startQuotaPolling();
}

void VantrelVPNApp::updateTrayIcon() {
    const QIcon icon(trayIconResource(m_manager.isConnected()));
    m_tray.setIcon(icon);
    if (m_statusNotifier)
        m_statusNotifier->setIcon(icon);
}

void VantrelVPNApp::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger)
        showMainWindow();
}
