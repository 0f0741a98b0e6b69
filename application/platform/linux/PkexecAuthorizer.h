#pragma once

#include "platform/AdminAuthorizer.h"

#include <QString>
#include <QStringList>

// Linux: pkexec running a fixed /bin/sh script; the launcher's path and the user's primary group
// are positional arguments, never part of the command text. The launcher becomes set-user-ID
// root but runnable by this user's group only, and the core beside it root-owned and not
// writable by anyone else.
class PkexecAuthorizer : public AdminAuthorizer {
public:
    explicit PkexecAuthorizer(QString pkexecPath = QStringLiteral("/usr/bin/pkexec"),
                              QString shellPath = QStringLiteral("/bin/sh"));
    bool authorizeLauncher(const QString& helperPath) override;

    // pkexec's arguments for the given launcher and group.
    QStringList argumentsFor(const QString& helperPath, const QString& group) const;
    static QString rootScript();
    // The name of the current user's primary group (its number when it has no name).
    static QString primaryGroup();

private:
    QString m_pkexec;
    QString m_shell;
};
