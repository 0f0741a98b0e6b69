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
