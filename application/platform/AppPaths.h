#pragma once

#include <QString>

// Where the bundle's programs and resources lie.
//  Linux:  <root>/bin/vantrel-vpn, <root>/libexec/vantrel-vpn/{vantrel-core,vantrel-helper},
//          <root>/share/vantrel-vpn/<resources>
//  macOS:  <App>.app/Contents/MacOS/{VantrelVPN,vantrel-core,vantrel-helper},
//          <App>.app/Contents/Resources/<resources>
struct BundleLayout {
    QString executable;   // the application's own executable
    QString coreBinary;   // vantrel-core
    QString helperBinary; // vantrel-helper
    QString resourcesDir; // default_config.json, geosite.dat, geoip.metadb

    QString resource(const QString& fileName) const;

    static BundleLayout linuxLayout(const QString& applicationExecutable);
    static BundleLayout macLayout(const QString& applicationExecutable);
    // The layout of this platform around QCoreApplication::applicationFilePath().
    static BundleLayout forRunningApplication();
};

// Every location the controller derives; tests build one over temporary folders.
struct AppPaths {
    QString dataDir; // no trailing separator
    QString homeDir;
    BundleLayout bundle;

    QString configFile() const;        // app_config.json
    QString mihomoConfigFile() const;  // config.yaml
    QString coreLogFile() const;       // core.log
    QString deviceIdFile() const;      // device_id
    QString proxySnapshotFile() const; // proxy_snapshot.json

    // Linux: $XDG_DATA_HOME/VantrelVPN; macOS: ~/Library/Application Support/VantrelVPN.
    static AppPaths forCurrentUser();
};
