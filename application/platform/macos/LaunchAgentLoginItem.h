#pragma once

#include "platform/LoginItem.h"

#include <QString>

// macOS: ~/Library/LaunchAgents/com.vantrel.vpn.plist.
class LaunchAgentLoginItem : public FileLoginItem {
public:
    explicit LaunchAgentLoginItem(const QString& homeDir);
    static QString agentText(const QString& executablePath);

protected:
    QString contentFor(const QString& executablePath) const override;
};
