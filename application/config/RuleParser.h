#pragma once

#include <QString>

// Turns what the user types into one canonical rule pattern.
namespace RuleParser {
QString normalizePattern(const QString& text);
bool isIPv4(const QString& text);
bool isIPv4OrCIDR(const QString& text);
// Whether the text is an IPv6 address in canonical form, optionally followed by "/" and a prefix
// length of 0 to 128 written in plain decimal: what normalizePattern makes of an IPv6 input.
bool isIPv6OrCIDR(const QString& text);
// Whether a normalized, non-empty pattern can be written into the core configuration
// (no control characters, double quote, backslash or "#", no empty domain label).
bool isWritablePattern(const QString& normalized);
// Why a normalized pattern cannot be written, in words for the user; empty when it can.
QString refusalReason(const QString& normalized);
// Whether the text holds a character a YAML reader does not take literally inside a scalar:
// control characters, line or paragraph separators, the byte-order mark, non-characters or
// unpaired surrogates.
bool containsUnsafeCharacter(const QString& text);
} // namespace RuleParser
