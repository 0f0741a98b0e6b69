#include "ui/CapsuleButton.h"

#include "ui/Theme.h"

#include <QPainter>

namespace {
constexpr int HorizontalPadding = 12;
constexpr int VerticalPadding = 4;
} // namespace

CapsuleButton::CapsuleButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setFont(Theme::font(Theme::TextStyle::Subheadline));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize CapsuleButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 2 * HorizontalPadding,
            metrics.height() + 2 * VerticalPadding};
}

void CapsuleButton::paintEvent(QPaintEvent*) {
    using Theme::Tone;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = bounds.height() / 2;
    const bool prominent = isDefault();

    qreal opacity = isEnabled() ? 1.0 : 0.5;
    if (isDown())
        opacity *= 0.7;
    painter.setOpacity(opacity);
    painter.setPen(prominent ? Qt::NoPen : QPen(Theme::hairline(pal), 1.0));
    painter.setBrush(prominent
                         ? Theme::color(pal, Tone::Accent)
                         : Theme::color(pal, Tone::Primary, Theme::isDark(pal) ? 0.14 : 0.07));
    painter.drawRoundedRect(bounds, radius, radius);

    painter.setPen(prominent ? QColor(Qt::white) : Theme::color(pal, Tone::Primary));
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter, text());

    if (Theme::showsFocusRing(this)) {
        painter.setOpacity(1.0);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Theme::color(pal, Tone::Accent, 0.8), 1.5));
        painter.drawRoundedRect(bounds.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    }
}
