#pragma once

#include "platform/AdminAuthorizer.h"

#include <QString>

// Linux: pkexec runs the installed root script "vantrel-authorize" beside the launcher, which
// takes nothing from its caller but the user: it gives the launcher the file capabilities
// cap_net_admin, cap_net_raw and cap_net_bind_service (mode 0750, group the user's primary
// group), and only in an installed bundle whose files and folders are root's alone. The
// launcher hands exactly those to the core it starts as the user; nothing of ours runs as root.
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
