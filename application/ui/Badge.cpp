#include "ui/Badge.h"

#include <QPainter>

Badge::Badge(const QString& text, Theme::Paint fill, QWidget* parent)
    : QLabel(text, parent), m_fill(fill) {
    setFont(Theme::font(Theme::TextStyle::Caption, Theme::Weight::Medium));
    setContentsMargins(8, 2, 8, 2);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Badge::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::color(palette(), m_fill));
        const qreal radius = height() / 2.0;
        painter.drawRoundedRect(QRectF(rect()), radius, radius);
    }
    QLabel::paintEvent(event);
}
