#include "App.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VantrelVPN"));
    QApplication::setApplicationDisplayName(QStringLiteral("Miravo VPN"));
    QApplication::setQuitOnLastWindowClosed(false);
    VantrelVPNApp app;
    app.showMainWindow();
    return application.exec();
}
