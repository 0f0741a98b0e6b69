#include "ui/CheckBox.h"

#include "ui/Theme.h"

#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int BoxSide = 15;
constexpr int TextGap = 7;
} // namespace

CheckBox::CheckBox(const QString& text, QWidget* parent) : QCheckBox(text, parent) {
    setCursor(Qt::PointingHandCursor);
}

QSize CheckBox::sizeHint() const {
    const QFontMetrics metrics(font());
    return {BoxSide + TextGap + metrics.horizontalAdvance(text()) + 2,
            qMax(BoxSide + 2, metrics.height())};
}

void CheckBox::paintEvent(QPaintEvent*) {
    using Theme::Tone;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    if (!isEnabled())
        painter.setOpacity(0.4);

    const QRectF box(1.5, (height() - BoxSide) / 2.0, BoxSide - 1, BoxSide - 1);
    if (isChecked()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::color(pal, Tone::Accent, isDown() ? 0.75 : 1.0));
        painter.drawRoundedRect(box, 4, 4);
        QPainterPath tick;
        tick.moveTo(box.left() + box.width() * 0.25, box.top() + box.height() * 0.52);
        tick.lineTo(box.left() + box.width() * 0.43, box.top() + box.height() * 0.70);
        tick.lineTo(box.left() + box.width() * 0.76, box.top() + box.height() * 0.32);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(tick);
    } else {
        painter.setPen(QPen(Theme::color(pal, Tone::Primary, 0.35), 1.0));
        painter.setBrush(isDown() ? Theme::color(pal, Tone::Primary, 0.08) : Theme::cardFill(pal));
        painter.drawRoundedRect(box, 4, 4);
    }
    if (Theme::showsFocusRing(this)) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Theme::color(pal, Tone::Accent, 0.8), 1.5));
        painter.drawRoundedRect(box.adjusted(-1.5, -1.5, 1.5, 1.5), 5, 5);
    }

    painter.setPen(Theme::color(pal, Tone::Primary));
    painter.setFont(font());
    const QRect textRect(BoxSide + TextGap, 0, width() - BoxSide - TextGap, height());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, textRect.width()));
}
