#pragma once

#include <QString>
#include <optional>

// Texts for values that arrive from servers (the core, the quota service), made safe to show:
// an absurd figure never appears as sent, and a host name cannot pass for another one. What the
// controls act on stays the value as received; only the shown text changes.
namespace DisplayText {

// Shown instead of a figure outside any plausible range.
inline const QString unknown = QStringLiteral("—");

// "<n> ms" for a plausible delay; "—" for a negative or impossibly long one; without a value
// "测速" while connected and "离线" otherwise.
QString latency(const std::optional<qint64>& latencyMs, bool connected);
// "每月 <day> 日重置 · 剩 <days> 天", each figure "—" when it cannot be a day of a month.
QString quotaReset(qint64 resetDay, qint64 daysRemaining);
// The text with control, formatting (bidirectional overrides, isolates, marks, zero-width
// characters) and line-separating characters written out visibly as "<U+202E>".
QString visible(const QString& text);

} // namespace DisplayText
