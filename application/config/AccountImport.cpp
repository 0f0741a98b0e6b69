#include "config/AccountImport.h"

#include "config/RuleParser.h"

#include <algorithm>

std::optional<AccountImport> AccountImport::parse(const QString& link, const QString& token,
                                                  QString* linkError, QString* tokenError) {
    std::optional<VlessNode> node = VlessLink::parse(link, linkError);
    std::optional<QString> checkedToken = checkToken(token, tokenError);
    if (!node || !checkedToken)
        return std::nullopt;
    return AccountImport{std::move(*node), std::move(*checkedToken)};
}

std::optional<QString> AccountImport::checkToken(const QString& token, QString* error) {
    const QString trimmed = token.trimmed();
    auto fail = [error](const QString& reason) -> std::optional<QString> {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    if (trimmed.size() > maxTokenLength)
        return fail(QStringLiteral("访问令牌过长"));
    // It travels as an HTTP header value: no line breaks, no control characters, no blanks.
    if (RuleParser::containsUnsafeCharacter(trimmed) ||
        std::any_of(trimmed.cbegin(), trimmed.cend(), [](QChar c) { return c.isSpace(); }))
        return fail(QStringLiteral("访问令牌中含有空白或控制字符"));
    return trimmed;
}

AppConfig AccountImport::appliedTo(AppConfig config) const {
    config.uuid = node.uuid;
    config.serverIP = node.serverIP;
    config.serverPort = node.serverPort;
    config.publicKey = node.publicKey;
    config.shortId = node.shortId;
    config.sni = node.sni;
    config.spiderX = node.spiderX;
    if (!node.accountLabel.isEmpty())
        config.accountLabel = node.accountLabel;
    if (!deviceToken.isEmpty())
        config.deviceToken = deviceToken;
    return config;
}
