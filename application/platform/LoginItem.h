#pragma once

#include <QString>

// The per-user registration that starts the application at login.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    virtual bool isRegistered() const = 0;
    // Best effort; errors are swallowed (isRegistered tells the outcome).
    virtual void setRegistered(bool enabled, const QString& executablePath) = 0;
};

// A registration that is one file: written atomically to register, moved to the trash to
// unregister (never deleted).
class FileLoginItem : public LoginItem {
public:
    explicit FileLoginItem(QString filePath);
    bool isRegistered() const override;
    void setRegistered(bool enabled, const QString& executablePath) override;
    QString filePath() const { return m_filePath; }

protected:
    virtual QString contentFor(const QString& executablePath) const = 0;

private:
    QString m_filePath;
};

// macOS: ~/Library/LaunchAgents/com.vantrel.vpn.plist.
class LaunchAgentLoginItem : public FileLoginItem {
public:
    explicit LaunchAgentLoginItem(const QString& homeDir);
    static QString agentText(const QString& executablePath);

protected:
    QString contentFor(const QString& executablePath) const override;
};

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
