#pragma once

#include <QStringList>
#include <optional>

// The command line of vantrel-vpn: nothing, or "--hidden" (started at login: the tray icon
// without the window).
struct LaunchOptions {
    bool hidden = false;

    // The arguments after the program's name; nothing when they hold anything else.
    static std::optional<LaunchOptions> parse(const QStringList& arguments);
    // One line, with its line feed, for standard error.
    static QByteArray usage();
};
