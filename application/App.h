#pragma once

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class ConnectionNotifications;
class MihomoManager;
class MenuBarContent;
class StatusNotifierItem;
struct LaunchOptions;

// Holds the one controller of the process, created on first use for the current user.
class SharedState {
public:
    static MihomoManager& manager();
};

// Answers the application's two lifecycle questions.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Closing the main window leaves the application running in the tray.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
    // Runs when the event loop ends (QCoreApplication::aboutToQuit): stops the core and
    // switches the system proxies off before the process exits.
    void applicationWillTerminate();

    QPointer<MihomoManager> manager; // set by the window-shown hook
};

// The top-level window around the main view. Closing hides it while a tray icon can bring it
// back; without a tray it is minimised instead, so the application never runs unreachable.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* content);

    // Decides at each close whether a tray is there to reopen the window from.
    void setTrayAvailable(std::function<bool()> trayAvailable);
    // The application is quitting: a close goes through (a refused close would cancel the quit).
    void setQuitting() { m_quitting = true; }
    // Shows the window where the user left it when it was last hidden.
    void setVisible(bool visible) override;

signals:
    // Emitted once each time the window becomes visible (shown or restored from hidden).
    void shown();
    // Emitted once, when the window's content is painted for the first time.
    void firstPainted();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<bool()> m_trayAvailable;
    bool m_announcedVisible = false;
    bool m_quitting = false;
    std::optional<QPoint> m_lastPosition;
};

// The application shell: the main window titled "Miravo VPN" and the tray item with its menu,
// both present for the whole run and both views of the one controller.
class VantrelVPNApp : public QObject {
    Q_OBJECT
public:
    // Uses the controller of SharedState.
    explicit VantrelVPNApp(QObject* parent = nullptr);
    // Uses the given controller (tests build one over temporary folders).
    explicit VantrelVPNApp(MihomoManager& manager, QObject* parent = nullptr);
    ~VantrelVPNApp() override;

    MihomoManager& manager() const { return m_manager; }
    AppDelegate& delegate() { return m_delegate; }
    MainWindow& mainWindow() { return *m_window; }
    QSystemTrayIcon& trayIcon() { return m_tray; }
    MenuBarContent& menuBarContent() { return *m_menuBarContent; }
    // The tray icon over D-Bus, used when no tray was there at start; null otherwise.
    StatusNotifierItem* statusNotifierItem() const { return m_statusNotifier.get(); }
    // Whether a tray shows the icon, so that the window may be hidden.
    bool trayShown() const;

    // Shows the window, or with --hidden only the tray icon (the window minimised when there is
    // no tray), and connects once when the settings ask for it.
    void start(const LaunchOptions& options);
    // Shows, raises and activates the main window (launch, tray click, a second launch).
    void showMainWindow();
    // Ends the event loop; the terminate hook then runs (QCoreApplication::aboutToQuit).
    void quit();

private:
    void finishStartupChecks();
    void windowShown();
    void updateTrayIcon();
    void trayActivated(QSystemTrayIcon::ActivationReason reason);
    void watchForLateTray();

    MihomoManager& m_manager;
    AppDelegate m_delegate;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<MenuBarContent> m_menuBarContent;
    QSystemTrayIcon m_tray;
    bool m_systemTray = false; // Qt's own tray icon works
    std::unique_ptr<StatusNotifierItem> m_statusNotifier;
    std::unique_ptr<ConnectionNotifications> m_notifications;
};
