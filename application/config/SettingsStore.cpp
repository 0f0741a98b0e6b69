#include "config/SettingsStore.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {

// Moves a settings file that could not be used out of the way, so that writing the defaults
// does not destroy the user's rules and token. True when nothing is in the way any more.
bool keepUnusableFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        // A FIFO, socket or device holds nothing to keep; the atomic write replaces it.
        return true;
    }
    // Every undecodable file is kept: the older ones move one place up, the oldest goes.
    const auto keptName = [&path](int index) {
        return QFile::encodeName(path + QLatin1String(".bad") +
                                 (index == 0 ? QString() : QStringLiteral(".%1").arg(index)));
    };
    for (int index = keptUnusableSettingsFiles - 1; index > 0; --index)
        std::rename(keptName(index - 1).constData(), keptName(index).constData());
    const QByteArray kept = keptName(0);
    if (::rename(native.constData(), kept.constData()) != 0) {
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        ::chmod(kept.constData(), S_IRUSR | S_IWUSR);
    }
    return true;
}

} // namespace

SettingsStore::SettingsStore(QString settingsFilePath, QString defaultResourcePath)
    : m_settingsFilePath(std::move(settingsFilePath)),
      m_defaultResourcePath(std::move(defaultResourcePath)) {}

AppConfig SettingsStore::load() const {
    if (const auto bytes = readRegularFile(m_settingsFilePath, maxSettingsFileBytes)) {
        if (auto config = AppConfigCodec::decode(*bytes)) {
            return *config;
        }
    }
    if (!m_defaultResourcePath.isEmpty()) {
        if (const auto bytes = readRegularFile(m_defaultResourcePath, maxSettingsFileBytes)) {
            if (auto config = AppConfigCodec::decode(*bytes)) {
                if (isPrivateFolder(QFileInfo(m_settingsFilePath).absolutePath()) &&
                    keepUnusableFile(m_settingsFilePath)) {
                    writeFileAtomically(m_settingsFilePath, AppConfigCodec::encode(*config));
                }
                return *config;
            }
        }
    }
    return AppConfig::empty();
}

bool SettingsStore::save(const AppConfig& config) const {
    return writeFileAtomically(m_settingsFilePath, AppConfigCodec::encode(config));
}
