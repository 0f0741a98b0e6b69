#include "config/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr QFileDevice::Permissions ownerReadWrite =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner;

void setError(QString* error, const QString& reason) {
    if (error) {
        *error = reason;
    }
}

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

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
    const QByteArray kept = QFile::encodeName(path + QLatin1String(".bad"));
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
                if (keepUnusableFile(m_settingsFilePath)) {
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

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, file.errorString());
        return false;
    }
    // Owner-only before the first byte lands: the data folder holds the access token.
    file.setPermissions(ownerReadWrite);
    if (file.write(bytes) != bytes.size()) {
        setError(error, file.errorString());
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setError(error, file.errorString());
        return false;
    }
    QFile::setPermissions(path, ownerReadWrite);
    return true;
}

bool ensurePrivateFolder(const QString& path) {
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), S_IRWXU) != 0 && errno != EEXIST) {
        return false;
    }
    if (!QFileInfo(path).isDir()) {
        return false;
    }
    // An older, more open folder is tightened too.
    ::chmod(native.constData(), S_IRWXU);
    return true;
}

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes, QString* error) {
    // Non-blocking open: a FIFO in the file's place must not hang the caller.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        setError(error, systemError(errno));
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        setError(error, systemError(errno));
        ::close(fd);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        setError(error, QStringLiteral("not a regular file"));
        ::close(fd);
        return std::nullopt;
    }
    if (info.st_size > maxBytes) {
        setError(error, QStringLiteral("larger than %1 bytes").arg(maxBytes));
        ::close(fd);
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        setError(error, file.errorString());
        ::close(fd);
        return std::nullopt;
    }
    // At most one byte more than the size seen: a file growing meanwhile is caught below.
    QByteArray bytes = file.read(qint64(info.st_size) + 1);
    if (file.error() != QFileDevice::NoError) {
        setError(error, file.errorString());
        return std::nullopt;
    }
    if (bytes.size() > maxBytes) {
        setError(error, QStringLiteral("larger than %1 bytes").arg(maxBytes));
        return std::nullopt;
    }
    return bytes;
}
