#include "ui/PowerButton.h"

#include "ui/Icons.h"
#include "ui/Theme.h"

#include <QPainter>

PowerButton::PowerButton(QWidget* parent) : QAbstractButton(parent) {
    setFixedSize(Diameter, Diameter);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void PowerButton::setConnected(bool connected) {
    if (m_connected == connected)
        return;
    m_connected = connected;
    update();
}

void PowerButton::paintEvent(QPaintEvent*) {
    using Theme::Tone;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    if (!isEnabled())
        painter.setOpacity(0.5);
    else if (isDown())
        painter.setOpacity(0.75);

    const QRectF disc(0, 0, Diameter, Diameter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_connected ? Theme::color(pal, Tone::Green, 0.16)
                                 : Theme::color(pal, Tone::Secondary, 0.10));
    painter.drawEllipse(disc);

    constexpr qreal ringWidth = 2.5;
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(m_connected ? Theme::color(pal, Tone::Green)
                                    : Theme::color(pal, Tone::Secondary, 0.35),
                        ringWidth));
    painter.drawEllipse(
        disc.adjusted(ringWidth / 2, ringWidth / 2, -ringWidth / 2, -ringWidth / 2));

    constexpr int iconSize = 34;
    const QColor iconColor =
        m_connected ? Theme::color(pal, Tone::Green) : Theme::color(pal, Tone::Primary);
    const QPixmap icon =
        Icons::pixmap(QStringLiteral("power"), iconSize, iconColor, devicePixelRatioF());
    painter.drawPixmap((Diameter - iconSize) / 2, (Diameter - iconSize) / 2, icon);

    if (Theme::showsFocusRing(this)) {
        painter.setOpacity(1.0);
        painter.setPen(QPen(Theme::color(pal, Tone::Accent, 0.8), 1.5));
        painter.drawEllipse(disc.adjusted(5, 5, -5, -5));
    }
}
