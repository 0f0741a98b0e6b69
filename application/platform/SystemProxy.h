#pragma once

#include <QString>
#include <QStringList>

// Points the desktop's proxy settings at the core's mixed port, or switches them off.
// Commands run one after another without a shell, each waited for; failures are not reported.
class SystemProxy {
public:
    virtual ~SystemProxy() = default;
    virtual void apply(bool enabled, qint64 mixedPort) = 0;
    // Whether some proxy setting currently points at 127.0.0.1:mixedPort (a run that crashed
    // while connected left it so).
    virtual bool pointsAt(qint64 mixedPort) = 0;
};

// macOS: the web, secure web and SOCKS proxies of every enabled network service, through
// networksetup.
class NetworkSetupProxy : public SystemProxy {
public:
    explicit NetworkSetupProxy(QString toolPath = QStringLiteral("/usr/sbin/networksetup"));

    void apply(bool enabled, qint64 mixedPort) override;
    bool pointsAt(qint64 mixedPort) override;

    // The enabled services, in listed order; empty when the listing fails.
    QStringList activeNetworkServices() const;

private:
    void runNetworkSetup(const QStringList& arguments) const;

    QString m_tool;
};

// Linux: the proxy stores of the desktops present — GNOME's (gsettings) and KDE's (kioslaverc
// through kwriteconfig6 or kwriteconfig5). A store whose tool is not found is left alone.
class LinuxDesktopProxy : public SystemProxy {
public:
    // Tools are looked up in the folders of `searchPath`; by default those of $PATH.
    explicit LinuxDesktopProxy(QStringList searchPath);
    LinuxDesktopProxy();

    void apply(bool enabled, qint64 mixedPort) override;
    bool pointsAt(qint64 mixedPort) override;

private:
    void applyGnome(const QString& gsettings, bool enabled, qint64 mixedPort) const;
    void applyKde(const QString& kwriteconfig, bool enabled, qint64 mixedPort) const;
    bool gnomePointsAt(const QString& gsettings, qint64 mixedPort) const;
    bool kdePointsAt(const QString& kreadconfig, qint64 mixedPort) const;
    QString firstTool(const QStringList& names) const;

    QStringList m_searchPath;
};
