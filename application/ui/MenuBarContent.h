#pragma once

#include <QObject>
#include <memory>

class MihomoManager;
class QAction;
class QMenu;

// The tray item's menu: connection status, the month's usage, connect or disconnect, the two
// proxy modes and quitting. Redrawn from the controller whenever its state changes.
class MenuBarContent : public QObject {
    Q_OBJECT
public:
    explicit MenuBarContent(MihomoManager* manager, QObject* parent = nullptr);
    ~MenuBarContent() override;

    QMenu* menu() const { return m_menu.get(); }

signals:
    // "退出 Miravo VPN" was chosen; the controller is already disconnected.
    void quitRequested();

private:
    void redraw();
    void quit();

    MihomoManager* m_manager;
    std::unique_ptr<QMenu> m_menu;
    // The entries are kept and rewritten rather than recreated: a command may change the state
    // (and so redraw the menu) while its own action is still being triggered.
    QAction* m_status = nullptr;
    QAction* m_usage = nullptr;
    QAction* m_toggle = nullptr;
};
