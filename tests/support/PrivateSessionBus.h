#pragma once

#include <QProcess>
#include <QString>

// A session bus of the test's own (dbus-daemon --session), so that nothing reaches the
// desktop's bus. start() makes it this process's session bus through DBUS_SESSION_BUS_ADDRESS;
// call it before anything in the process uses the session bus.
class PrivateSessionBus {
public:
    PrivateSessionBus() = default;
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    bool start();
    QString address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};
