#pragma once

#include "platform/AdminAuthorizer.h"

#include <QString>

// macOS: an AppleScript "do shell script ... with administrator privileges" through osascript.
class AppleScriptAuthorizer : public AdminAuthorizer {
public:
    explicit AppleScriptAuthorizer(QString osascriptPath = QStringLiteral("/usr/bin/osascript"));
    bool authorizeLauncher(const QString& helperPath) override;

    // The script's source: chown root:wheel, then chmod 4755, on the launcher.
    static QString scriptFor(const QString& helperPath);

private:
    QString m_osascript;
};
