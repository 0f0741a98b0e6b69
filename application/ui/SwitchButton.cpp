#include "ui/SwitchButton.h"

#include "ui/Accessibility.h"
#include "ui/Theme.h"

#include <QPainter>

SwitchButton::SwitchButton(QWidget* parent) : QAbstractButton(parent) {
    Accessibility::setToggleRole(this, QAccessible::CheckBox);
    setFixedSize(sizeHint());
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void SwitchButton::paintEvent(QPaintEvent*) {
    using Theme::Tone;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    if (!isEnabled())
        painter.setOpacity(0.45);

    const QRectF track = QRectF(rect()).adjusted(1, 2, -1, -2);
    const qreal radius = track.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked()
                         ? Theme::color(pal, Tone::Green)
                         : Theme::color(pal, Tone::Primary, Theme::isDark(pal) ? 0.22 : 0.15));
    painter.drawRoundedRect(track, radius, radius);

    const qreal knobSize = track.height() - 4;
    const qreal knobX = isChecked() ? track.right() - 2 - knobSize : track.left() + 2;
    const QRectF knob(knobX, track.top() + 2, knobSize, knobSize);
    painter.setBrush(QColor(0, 0, 0, 40));
    painter.drawEllipse(knob.translated(0, 0.8));
    painter.setBrush(isDown() ? QColor(0xe8, 0xe8, 0xe8) : QColor(Qt::white));
    painter.drawEllipse(knob);

    if (Theme::showsFocusRing(this)) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Theme::color(pal, Tone::Accent, 0.8), 1.5));
        painter.drawRoundedRect(track.adjusted(-0.5, -0.5, 0.5, 0.5), radius, radius);
    }
}
