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

// Linux: pkexec runs the installed root script "vantrel-authorize" beside the launcher, which
// takes nothing from its caller but the user: it gives the launcher the file capabilities
// cap_net_admin, cap_net_raw and cap_net_bind_service (mode 0750, group the user's primary
// group) and makes the core root's alone. The launcher hands exactly those to the core it
// starts as the user; nothing of ours runs as root.
class PkexecAuthorizer : public AdminAuthorizer {
public:
    explicit PkexecAuthorizer(QString pkexecPath = QStringLiteral("/usr/bin/pkexec"));
    bool launcherReady(const BundleLayout& bundle) const override;
    std::variant<AuthorizationCommand, TunAuthorization>
    command(const BundleLayout& bundle) const override;
    TunAuthorization outcome(std::optional<int> exitStatus) const override;

    static QString scriptPath(const BundleLayout& bundle);
    // The launcher is a regular root-owned file, neither set-user-ID nor set-group-ID, not
    // writable by group or others, with exactly the three capabilities as permitted file
    // capabilities and no inheritable ones.
    static bool launcherHasTunCapabilities(const QString& helperPath);
    // Launcher, core, script and every folder above them are root's alone, as a package
    // installs them; a build tree or a copy in the user's folders is not.
    static bool isInstalledBundle(const BundleLayout& bundle);

private:
    QString m_pkexec;
};
