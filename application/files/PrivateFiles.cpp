#include "files/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void setError(QString* error, const QString& reason) {
    if (error)
        *error = reason;
}

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// Writes all of `bytes`; false (errno set) on the first failing or short write.
bool writeAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// Best-effort: makes the rename itself survive a power cut.
void syncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::optional<QByteArray> readRegular(const QString& path, qint64 maxBytes, QString* error,
                                      int extraFlags) {
    // Non-blocking open: a FIFO in the file's place must not hang the caller.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | extraFlags);
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

} // namespace

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        setError(error, systemError(ENOENT));
        return false;
    }
    if (!isPrivateFolder(folder)) {
        setError(error, QStringLiteral("folder %1 is not private").arg(folder));
        return false;
    }
    const QByteArray target = QFile::encodeName(path);
    // mkostemp creates the file 0600 and never follows a link at the temporary name.
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        setError(error, systemError(errno));
        return false;
    }
    // Every step is checked before the rename: a write cut short by a full disk or a file size
    // limit must not replace a good file with a truncated one.
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0;
    const int closeErrno = errno;
    if (!written || !closed) {
        setError(error, systemError(!written ? writeErrno : closeErrno));
        ::unlink(temporary.constData());
        return false;
    }
    // rename() replaces a link at the target itself, never what it points to.
    if (::rename(temporary.constData(), target.constData()) != 0) {
        setError(error, systemError(errno));
        ::unlink(temporary.constData());
        return false;
    }
    syncFolder(QFile::encodeName(folder));
    return true;
}

bool ensurePrivateFolder(const QString& path) {
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return false;
    struct stat status {};
    if (::stat(native.constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    // An older, more open folder of ours is tightened too; another user's folder is left alone
    // (root could change it, and would then make it look like ours).
    if (status.st_uid == ::geteuid())
        ::chmod(native.constData(), S_IRWXU);
    return true;
}

bool isPrivateFolder(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes, QString* error) {
    return readRegular(path, maxBytes, error, 0);
}

std::optional<QByteArray> readOwnRegularFile(const QString& path, qint64 maxBytes) {
    return readRegular(path, maxBytes, nullptr, O_NOFOLLOW);
}
