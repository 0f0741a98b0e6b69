#include "LaunchOptions.h"

std::optional<LaunchOptions> LaunchOptions::parse(const QStringList& arguments) {
    LaunchOptions options;
    if (arguments.isEmpty())
        return options;
    if (arguments == QStringList{QStringLiteral("--hidden")}) {
        options.hidden = true;
        return options;
    }
    return std::nullopt;
}

QByteArray LaunchOptions::usage() {
    return QStringLiteral("用法: vantrel-vpn [--hidden]\n").toUtf8();
}
