#include "App.h"

#include "controller/MihomoManager.h"

#include <QWidget>

MihomoManager& SharedState::manager() {
    static auto* manager = new MihomoManager(ManagerEnvironment::forCurrentUser());
    return *manager;
}

VantrelVPNApp::VantrelVPNApp(QObject* parent) : QObject(parent) {
    SharedState::manager();
    m_window = std::make_unique<QWidget>();
    m_window->setWindowTitle(QStringLiteral("Miravo VPN"));
    m_window->setFixedSize(390, 590);
}

VantrelVPNApp::~VantrelVPNApp() = default;

void VantrelVPNApp::showMainWindow() {
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}
