#pragma once

#include "platform/SystemProxy.h"

#include <QString>
#include <QStringList>

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
