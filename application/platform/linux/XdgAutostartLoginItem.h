#pragma once

#include "platform/LoginItem.h"

#include <QString>

// Linux: the XDG autostart entry <config folder>/autostart/com.vantrel.vpn.desktop.
class XdgAutostartLoginItem : public FileLoginItem {
public:
    // `configDir` is $XDG_CONFIG_HOME (by default ~/.config).
    explicit XdgAutostartLoginItem(const QString& configDir);
    static QString entryText(const QString& executablePath);
    // The Exec value for one program path, quoted and escaped for a desktop entry.
    static QString execValue(const QString& executablePath);

protected:
    QString contentFor(const QString& executablePath) const override;
};
