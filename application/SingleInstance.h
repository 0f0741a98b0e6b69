#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

// One running instance per user: two would fight over the core, its ports and the system proxy.
// The first instance holds a lock file and listens on a local socket beside it; a later launch
// finds the lock taken, asks the first one over the socket to raise its window, and exits.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // socketPath: where the socket lives; the lock file is socketPath + ".lock".
    explicit SingleInstance(const QString& socketPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    // "vantrel-vpn-<uid>" in $XDG_RUNTIME_DIR when that is a private folder of this user, else
    // in "vantrel-vpn" below the user's cache folder, created owner-only. Never a name in a
    // shared folder that another user could create first.
    static QString socketPathForCurrentUser();

    // True when this process is the one instance; it then answers later launches. A lock or
    // socket that another user owns is removed, never taken for a running instance; a folder
    // that is not private is not trusted at all (this process runs, without answering others).
    bool claim();
    // Asks the running instance to show its main window; true when it acknowledged in time.
    bool askRunningToRaise(int timeoutMs = 5000);

signals:
    void raiseRequested();

private:
    void answer();

    QString m_socketPath;
    QLockFile m_lock;
    QLocalServer m_server;
};
