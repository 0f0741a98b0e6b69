#pragma once

#include "platform/SystemProxy.h"

#include <QString>
#include <QStringList>

// Linux: the proxy stores of the desktops present — GNOME's (gsettings) and KDE's (kioslaverc
// through kreadconfig and kwriteconfig, 6 or 5). A store whose tools are not found is left alone.
class LinuxDesktopProxy : public SystemProxy {
public:
    // Tools are looked up in the folders of `searchPath`; by default those of $PATH.
    explicit LinuxDesktopProxy(QStringList searchPath);
    LinuxDesktopProxy();

    ProxyStores stores() const override;

private:
    QString firstTool(const QStringList& names) const;

    QStringList m_searchPath;
};
