#pragma once

#include <QString>
#include <QStringList>

// Runs the one root command that lets the launcher become root, after the user confirmed with
// an administrator password. Blocks while the dialog is open. True only on success.
class AdminAuthorizer {
public:
    virtual ~AdminAuthorizer() = default;
    virtual bool authorizeLauncher(const QString& helperPath) = 0;
};
