#pragma once

#include <QString>

// Desktop notifications: a title and one line of text that the desktop shows for a moment.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    // Best effort: without a notification service nothing happens.
    virtual void notify(const QString& title, const QString& text) = 0;
};
