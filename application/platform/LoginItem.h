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
