#include "ui/Card.h"

#include "ui/Theme.h"

#include <QPainter>

Card::Card(int radius, QWidget* parent) : QWidget(parent), m_radius(radius) {}

void Card::paintSurface(QPainter& painter, const QRectF& bounds, qreal radius,
                        const QPalette& palette) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::cardFill(palette));
    painter.drawRoundedRect(bounds, radius, radius);
    // A 1-point line centred half a point inside the edge stays within the shape.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Theme::hairline(palette), 1.0));
    const QRectF line = bounds.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.drawRoundedRect(line, radius - 0.5, radius - 0.5);
    painter.restore();
}

void Card::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintSurface(painter, rect(), m_radius, palette());
}

Divider::Divider(QWidget* parent) : QWidget(parent) {
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Theme::color(palette(), Theme::Tone::Primary, 0.12));
}
