#pragma once

#include "config/AppConfig.h"

#include <QString>

// The settings file "app_config.json" in the data folder, with its loading fallbacks.
class SettingsStore {
public:
    // defaultResourcePath may name a file that does not exist.
    SettingsStore(QString settingsFilePath, QString defaultResourcePath);

    // The settings file if it decodes; else the default resource (written over the file, an
    // undecodable file kept as "app_config.json.bad"); else AppConfig::empty() with nothing written.
    AppConfig load() const;
    // Atomic, owner-only; failures are swallowed (returns false).
    bool save(const AppConfig& config) const;

    QString settingsFilePath() const { return m_settingsFilePath; }

private:
    QString m_settingsFilePath;
    QString m_defaultResourcePath;
};

// Shared helper for every file the application writes into the data folder:
// atomic replace, UTF-8 bytes as given, owner-only permissions (0600).
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error = nullptr);
// Creates a folder (and parents) owner-only (0700); true when it exists afterwards.
bool ensurePrivateFolder(const QString& path);
