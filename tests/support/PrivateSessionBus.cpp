#include "PrivateSessionBus.h"

#include <QDeadlineTimer>

#include <csignal>
#include <sys/prctl.h>

PrivateSessionBus::~PrivateSessionBus() {
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000))
            m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
}

bool PrivateSessionBus::start() {
    m_daemon.setProcessChannelMode(QProcess::SeparateChannels);
    // Gone with the test, even when the test crashes.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"),
                    QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
    if (!m_daemon.waitForStarted(10'000))
        return false;
    QDeadlineTimer deadline(10'000);
    while (!m_daemon.canReadLine() && !deadline.hasExpired() &&
           m_daemon.state() == QProcess::Running)
        m_daemon.waitForReadyRead(int(deadline.remainingTime()));
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty())
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
    return true;
}
