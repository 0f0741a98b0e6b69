#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString kCoreName = QStringLiteral("vantrel-core");
const QString kHelperName = QStringLiteral("vantrel-helper");

QString joined(const QString& folder, const QString& name) {
    return QDir::cleanPath(folder + QLatin1Char('/') + name);
}
} // namespace

QString BundleLayout::resource(const QString& fileName) const {
    return joined(resourcesDir, fileName);
}

BundleLayout BundleLayout::linuxLayout(const QString& applicationExecutable) {
    const QString root =
        joined(QFileInfo(applicationExecutable).absolutePath(), QStringLiteral(".."));
    const QString libexec = joined(root, QStringLiteral("libexec/vantrel-vpn"));
    BundleLayout layout;
    layout.executable = QFileInfo(applicationExecutable).absoluteFilePath();
    layout.coreBinary = joined(libexec, kCoreName);
    layout.helperBinary = joined(libexec, kHelperName);
    layout.resourcesDir = joined(root, QStringLiteral("share/vantrel-vpn"));
    return layout;
}

BundleLayout BundleLayout::macLayout(const QString& applicationExecutable) {
    // <App>.app/Contents/MacOS/<executable>
    const QString macosDir = QFileInfo(applicationExecutable).absolutePath();
    BundleLayout layout;
    layout.executable = QFileInfo(applicationExecutable).absoluteFilePath();
    layout.coreBinary = joined(macosDir, kCoreName);
    layout.helperBinary = joined(macosDir, kHelperName);
    layout.resourcesDir = joined(macosDir, QStringLiteral("../Resources"));
    return layout;
}

BundleLayout BundleLayout::forRunningApplication() {
    const QString executable = QCoreApplication::applicationFilePath();
#ifdef Q_OS_MACOS
    return macLayout(executable);
#else
    return linuxLayout(executable);
#endif
}

QString AppPaths::configFile() const {
    return joined(dataDir, QStringLiteral("app_config.json"));
}
QString AppPaths::mihomoConfigFile() const {
    return joined(dataDir, QStringLiteral("config.yaml"));
}
QString AppPaths::proxySnapshotFile() const {
    return joined(dataDir, QStringLiteral("proxy_snapshot.json"));
}
QString AppPaths::coreLogFile() const {
    return joined(dataDir, QStringLiteral("core.log"));
}
QString AppPaths::deviceIdFile() const {
    return joined(dataDir, QStringLiteral("device_id"));
}

AppPaths AppPaths::forCurrentUser() {
    // GenericDataLocation is ~/Library/Application Support on macOS and $XDG_DATA_HOME
    // (~/.local/share) on Linux.
    AppPaths paths;
    paths.dataDir = joined(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
                           QStringLiteral("VantrelVPN"));
    paths.homeDir = QDir::homePath();
    paths.bundle = BundleLayout::forRunningApplication();
    return paths;
}
