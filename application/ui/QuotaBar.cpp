#include "ui/QuotaBar.h"

#include <QPainter>

QuotaBar::QuotaBar(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(sizeHint().height());
}

void QuotaBar::setFraction(double fraction) {
    m_fraction = qBound(0.0, fraction, 1.0);
    setAccessibleDescription(QStringLiteral("%1%").arg(qRound(m_fraction * 100)));
    update();
}

void QuotaBar::setTint(Theme::Tone tint) {
    m_tint = tint;
    update();
}

void QuotaBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track = rect();
    const qreal radius = track.height() / 2;
    painter.setBrush(Theme::color(palette(), Theme::Tone::Primary, 0.09));
    painter.drawRoundedRect(track, radius, radius);
    if (m_fraction <= 0)
        return;
    // A sliver narrower than the bar's height still shows as a round dot.
    const qreal width = qMax(track.height(), track.width() * m_fraction);
    painter.setBrush(Theme::color(palette(), m_tint));
    painter.drawRoundedRect(QRectF(track.left(), track.top(), width, track.height()), radius,
                            radius);
}
