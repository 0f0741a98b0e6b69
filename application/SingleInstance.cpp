#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include "files/PrivateFiles.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QByteArray kRaise = QByteArrayLiteral("raise\n");
const QByteArray kDone = QByteArrayLiteral("ok\n");

// True when something exists at `path` that this user does not own.
bool ownedByAnotherUser(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && info.st_uid != ::geteuid();
}

// The user id at the other end of a connected local socket; -1 when unknown.
qint64 peerUid(const QLocalSocket& socket) {
#ifdef Q_OS_LINUX
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &length) != 0)
        return -1;
    return credentials.uid;
#else
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(int(socket.socketDescriptor()), &uid, &gid) != 0)
        return -1;
    return uid;
#endif
}
} // namespace

SingleInstance::SingleInstance(const QString& socketPath, QObject* parent)
    : QObject(parent), m_socketPath(socketPath), m_lock(socketPath + QStringLiteral(".lock")) {
    // The lock lasts as long as the instance runs; only a dead owner makes it stale.
    m_lock.setStaleLockTime(0);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::answer);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPathForCurrentUser() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !isPrivateFolder(folder)) {
        folder = QDir(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation))
                     .filePath(QStringLiteral("vantrel-vpn"));
        ensurePrivateFolder(folder);
    }
    return QDir(folder).filePath(QStringLiteral("vantrel-vpn-%1").arg(::getuid()));
}

bool SingleInstance::claim() {
    const QString folder = QFileInfo(m_socketPath).absolutePath();
    if (!isPrivateFolder(folder)) {
        qWarning("Not a private folder, running without the one-instance check: %s",
                 qPrintable(folder));
        return true;
    }
    // Only root could have put them into our folder; they do not stand for an instance of ours.
    for (const QString& path : {m_socketPath + QStringLiteral(".lock"), m_socketPath}) {
        if (ownedByAnotherUser(path))
            QFile::remove(path);
    }
    if (!m_lock.tryLock(0))
        return false;
    // Whatever socket is left there belonged to a run that ended without cleaning up.
    QLocalServer::removeServer(m_socketPath);
    m_server.listen(m_socketPath); // without it later launches only fail to raise this window
    return true;
}

bool SingleInstance::askRunningToRaise(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    // The running instance may hold the lock a moment before it listens.
    while (true) {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(int(std::max<qint64>(deadline.remainingTime(), 0)))) {
            // Only an instance of this user is asked anything.
            if (peerUid(socket) != qint64(::geteuid()))
                return false;
            break;
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    socket.write(kRaise);
    if (!socket.waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 0))))
        return false;
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() ||
            !socket.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 0))))
            return false;
    }
    return socket.readLine() == kDone;
}

void SingleInstance::answer() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kRaise.size())
                    socket->disconnectFromServer();
                return;
            }
            if (socket->readLine() == kRaise) {
                emit raiseRequested();
                socket->write(kDone);
            }
            socket->disconnectFromServer();
        });
    }
}
