#pragma once

#include "config/AppConfig.h"
#include "config/VlessLink.h"

#include <QString>
#include <optional>

// An account received from the service: the node of its share link and, optionally, a new
// access token. Built only from checked input, so applying it cannot fail.
struct AccountImport {
    VlessNode node;
    QString deviceToken; // empty: the current token stays

    // Longest access token accepted.
    static constexpr qsizetype maxTokenLength = 4096;

    // Both inputs checked; on failure each reason (in Chinese) goes to the field it concerns.
    static std::optional<AccountImport> parse(const QString& link, const QString& token,
                                              QString* linkError = nullptr,
                                              QString* tokenError = nullptr);
    // The token as it will be stored (blanks around it dropped), or nothing with a reason. An
    // empty token is valid: it keeps the current one.
    static std::optional<QString> checkToken(const QString& token, QString* error = nullptr);

    // The record with the node's fields (and the token, when one is given) replaced; the label
    // only when the link carries one. Rules, mode, switches and the service address stay.
    AppConfig appliedTo(AppConfig config) const;

    bool operator==(const AccountImport&) const = default;
};
