#pragma once

#include "config/AppConfig.h"

#include <QByteArray>
#include <QString>
#include <optional>

// The settings file "app_config.json" in the data folder, with its loading fallbacks.
class SettingsStore {
public:
    // defaultResourcePath may name a file that does not exist.
    SettingsStore(QString settingsFilePath, QString defaultResourcePath);

    // The settings file if it decodes; else the default resource (written over the file, an
    // undecodable file kept as "app_config.json.bad"); else AppConfig::empty() with nothing
    // written.
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
// The whole content of a regular file of at most maxBytes; nothing for anything else (missing,
// a folder, a FIFO or device, too large, unreadable). Never blocks on a FIFO.
std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes,
                                          QString* error = nullptr);
// Largest settings file the application reads.
inline constexpr qint64 maxSettingsFileBytes = 16 * 1024 * 1024;
