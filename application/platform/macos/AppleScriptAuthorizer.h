#pragma once

#include "platform/AdminAuthorizer.h"

#include <QString>

// macOS: an AppleScript "do shell script ... with administrator privileges" through osascript
// that makes the core root's alone and the launcher set-user-ID root. The core runs as root
// there: the virtual interface needs it.
class AppleScriptAuthorizer : public AdminAuthorizer {
public:
    explicit AppleScriptAuthorizer(QString osascriptPath = QStringLiteral("/usr/bin/osascript"));
    bool launcherReady(const BundleLayout& bundle) const override;
    std::variant<AuthorizationCommand, TunAuthorization>
    command(const BundleLayout& bundle) const override;
    TunAuthorization outcome(std::optional<int> exitStatus) const override;

    // The script's source: the core root:wheel and not writable by group or others, then the
    // launcher root:wheel with mode 4755.
    static QString scriptFor(const QString& helperPath, const QString& corePath);

private:
    QString m_osascript;
};
