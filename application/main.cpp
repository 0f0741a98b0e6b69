#include "App.h"
#include "LaunchOptions.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <csignal>
#include <cstdio>

int main(int argc, char* argv[]) {
    // Checked before anything else starts, so that a wrong call changes nothing.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const std::optional<LaunchOptions> options = LaunchOptions::parse(arguments);
    if (!options) {
        const QByteArray usage = LaunchOptions::usage();
        std::fwrite(usage.constData(), 1, size_t(usage.size()), stderr);
        return 2;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VantrelVPN"));
    QApplication::setApplicationDisplayName(QStringLiteral("Miravo VPN"));
    QApplication::setDesktopFileName(QStringLiteral("com.vantrel.vpn"));

    // The interface is Chinese, so Qt's own texts (a text field's context menu, system error
    // descriptions) are too, when Qt's translations are installed.
    QTranslator qtTranslator;
    if (qtTranslator.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qt"),
                          QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);

    // Installed first: a signal that arrives while the controller starts up is reported once
    // the event loop runs, and still ends in an orderly quit.
    TerminationSignals terminationSignals({SIGTERM, SIGINT, SIGHUP});

    SingleInstance instance(SingleInstance::socketPathForCurrentUser());
    if (!instance.claim()) {
        if (options->hidden) // started at login while already running: nothing to show
            return 0;
        return instance.askRunningToRaise() ? 0 : 1; // 1: the running instance did not answer
    }

    VantrelVPNApp app;
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tray/vantrel-vpn.svg")));
    QObject::connect(&instance, &SingleInstance::raiseRequested, &app,
                     &VantrelVPNApp::showMainWindow);
    QObject::connect(&terminationSignals, &TerminationSignals::received, &app,
                     &VantrelVPNApp::quit);
    app.start(*options);
    return application.exec();
}
