#pragma once

#include "platform/DesktopNotifier.h"

// macOS: "display notification" through osascript, started without waiting for it.
class OsascriptNotifier : public DesktopNotifier {
public:
    explicit OsascriptNotifier(QString osascriptPath = QStringLiteral("/usr/bin/osascript"));
    void notify(const QString& title, const QString& text) override;

    // The AppleScript line that shows one notification.
    static QString scriptFor(const QString& title, const QString& text);

private:
    QString m_osascript;
};
