// vantrel-devcore: a loopback stand-in for the proxy core. It honours the core's command line,
// configuration file and controller, and relays every connection directly.
#include "CoreConfig.h"
#include "DevCore.h"
#include "Log.h"
#include "SignalWatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {
int refuse(const QString& reason) {
    std::fprintf(stderr, "vantrel-devcore: %s\n", qPrintable(reason));
    return 1;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QString dataDir;
    QString configPath;
    const QStringList arguments = app.arguments().mid(1);
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if ((argument == u"-d" || argument == u"-f") && i + 1 < arguments.size())
            (argument == u"-d" ? dataDir : configPath) = arguments.at(++i);
        else if (argument == u"-v")
            return std::printf("%s\n", qPrintable(DevCore::version())) < 0;
        else
            return refuse(QStringLiteral("unexpected argument \"%1\"; usage: vantrel-devcore -d "
                                         "<data folder> -f <configuration file>")
                              .arg(argument));
    }
    if (dataDir.isEmpty() && configPath.isEmpty())
        return refuse(
            QStringLiteral("usage: vantrel-devcore -d <data folder> -f <configuration file>"));
    if (dataDir.isEmpty())
        dataDir = QFileInfo(configPath).absolutePath();
    if (configPath.isEmpty())
        configPath = QDir(dataDir).filePath(QStringLiteral("config.yaml"));
    dataDir = QFileInfo(dataDir).absoluteFilePath();
    configPath = QFileInfo(configPath).absoluteFilePath();
    if (!QFileInfo(dataDir).isDir())
        return refuse(QStringLiteral("data folder %1 does not exist").arg(dataDir));

    CoreConfigResult loaded = loadCoreConfig(configPath);
    if (!loaded.config)
        return refuse(QStringLiteral("cannot start with %1: %2").arg(configPath, loaded.error));

    Log::info(
        QStringLiteral("vantrel-devcore %1 starting with %2").arg(DevCore::version(), configPath));
    SignalWatcher signalWatcher;
    DevCore core(dataDir, configPath, std::move(*loaded.config));
    QString error;
    if (!core.start(&error))
        return refuse(error);
    QObject::connect(
        &signalWatcher, &SignalWatcher::terminationRequested, &app, [&](int signalNumber) {
            Log::info(QStringLiteral("received signal %1, shutting down").arg(signalNumber));
            core.stop();
            app.exit(0);
        });
    return app.exec();
}
