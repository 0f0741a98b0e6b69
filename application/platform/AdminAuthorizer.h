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
