#include "ui/DisplayText.h"

#include <QList>

namespace {

// The core measures a delay within 8 s and the probe waits 9 s: a longer one was not measured.
constexpr qint64 kLongestLatencyMs = 9000;
constexpr qint64 kLongestMonth = 31;

bool isHidden(char32_t codePoint) {
    switch (QChar::category(codePoint)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
        return true;
    default:
        return false;
    }
}

QString figure(qint64 value, qint64 lowest, qint64 highest) {
    return value >= lowest && value <= highest ? QString::number(value) : DisplayText::unknown;
}

} // namespace

namespace DisplayText {

QString latency(const std::optional<qint64>& latencyMs, bool connected) {
    if (!latencyMs)
        return connected ? QStringLiteral("测速") : QStringLiteral("离线");
    if (*latencyMs < 0 || *latencyMs > kLongestLatencyMs)
        return unknown;
    return QStringLiteral("%1 ms").arg(*latencyMs);
}

QString quotaReset(qint64 resetDay, qint64 daysRemaining) {
    return QStringLiteral("每月 %1 日重置 · 剩 %2 天")
        .arg(figure(resetDay, 1, kLongestMonth), figure(daysRemaining, 0, kLongestMonth));
}

QString visible(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (const char32_t codePoint : text.toUcs4()) {
        if (isHidden(codePoint))
            shown +=
                QStringLiteral("<U+%1>").arg(quint32(codePoint), 4, 16, QLatin1Char('0')).toUpper();
        else
            shown += QString::fromUcs4(&codePoint, 1);
    }
    return shown;
}

} // namespace DisplayText
