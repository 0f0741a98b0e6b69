#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

namespace {
const QByteArray kRaise = QByteArrayLiteral("raise\n");
const QByteArray kDone = QByteArrayLiteral("ok\n");
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
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString folder =
        !runtimeDir.isEmpty() && QFileInfo(runtimeDir).isDir() ? runtimeDir : QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("vantrel-vpn-%1").arg(::getuid()));
}

bool SingleInstance::claim() {
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
        if (socket.waitForConnected(int(std::max<qint64>(deadline.remainingTime(), 0))))
            break;
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
