#pragma once

#include "config/AppConfig.h"
#include "files/PrivateFiles.h"

#include <QString>

// The settings file "app_config.json" in the data folder, with its loading fallbacks.
class SettingsStore {
public:
    // defaultResourcePath may name a file that does not exist.
    SettingsStore(QString settingsFilePath, QString defaultResourcePath);

    // The settings file if it decodes; else the default resource (written over the file, an
    // undecodable file kept as "app_config.json.bad", older ones shifted to ".bad.1" ... ".bad.4");
    // else AppConfig::empty() with nothing written. Nothing is written into a data folder that
    // is not private.
    AppConfig load() const;
    // Atomic, owner-only; a failure leaves the previous file as it was (returns false).
    bool save(const AppConfig& config) const;

    QString settingsFilePath() const { return m_settingsFilePath; }

private:
    QString m_settingsFilePath;
    QString m_defaultResourcePath;
};

// Largest settings file the application reads.
inline constexpr qint64 maxSettingsFileBytes = 16 * 1024 * 1024;
// How many undecodable settings files are kept ("app_config.json.bad" and ".bad.1" onwards).
inline constexpr int keptUnusableSettingsFiles = 5;
