#pragma once

#include "platform/AppPaths.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <variant>

// How an attempt to authorise TUN mode ended.
enum class TunAuthorization {
    Granted,
    Refused,          // dialog dismissed, password not accepted, or the root command failed
    DevelopmentBuild, // not an installed bundle: its files are not root's alone
    ToolMissing,      // no pkexec (osascript) to ask with
};

// The root command that authorises TUN mode once the user confirmed with an administrator
// password. The caller runs it without blocking, so that the window keeps repainting while the
// dialog is open.
struct AuthorizationCommand {
    QString program;
    QStringList arguments;
};

// Whether the launcher can run the core with what TUN mode needs, and how to get there.
class AdminAuthorizer {
public:
    virtual ~AdminAuthorizer() = default;
    // The launcher holds its privilege and the core beside it is root's alone (root-owned, not
    // writable by group or others), so the launcher runs no core anybody else could replace.
    virtual bool launcherReady(const BundleLayout& bundle) const = 0;
    // The command to run, or the reason why none can help.
    virtual std::variant<AuthorizationCommand, TunAuthorization>
    command(const BundleLayout& bundle) const = 0;
    // The outcome for the command's exit status (none: it did not start or crashed).
    virtual TunAuthorization outcome(std::optional<int> exitStatus) const = 0;
};
