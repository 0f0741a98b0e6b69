#include "App.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QIcon>

#include <csignal>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VantrelVPN"));
    QApplication::setApplicationDisplayName(QStringLiteral("Miravo VPN"));
    QApplication::setDesktopFileName(QStringLiteral("com.vantrel.vpn"));

    // Installed first: a signal that arrives while the controller starts up is reported once
    // the event loop runs, and still ends in an orderly quit.
    TerminationSignals terminationSignals({SIGTERM, SIGINT, SIGHUP});

    SingleInstance instance(SingleInstance::socketPathForCurrentUser());
    if (!instance.claim())
        return instance.askRunningToRaise() ? 0 : 1; // 1: the running instance did not answer

    VantrelVPNApp app;
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tray/vantrel-vpn.svg")));
    QObject::connect(&instance, &SingleInstance::raiseRequested, &app,
                     &VantrelVPNApp::showMainWindow);
    QObject::connect(&terminationSignals, &TerminationSignals::received, &app,
                     &VantrelVPNApp::quit);
    app.showMainWindow();
    return application.exec();
}
