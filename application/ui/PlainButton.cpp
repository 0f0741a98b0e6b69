#include "ui/PlainButton.h"

#include "ui/Card.h"
#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>

PlainButton::PlainButton(QWidget* parent) : QAbstractButton(parent) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void PlainButton::setBackground(Background background, int cardRadius) {
    m_background = background;
    m_cardRadius = cardRadius;
    updateGeometry();
    update();
}

void PlainButton::setBackgroundPaint(Theme::Paint paint) {
    m_backgroundPaint = paint;
    update();
}

void PlainButton::setIconName(const QString& name, int size) {
    m_iconName = name;
    m_iconSize = size;
    updateGeometry();
    update();
}

void PlainButton::setDot(std::optional<Theme::Paint> paint, int diameter) {
    if (m_dot == paint && m_dotDiameter == diameter)
        return;
    m_dot = paint;
    m_dotDiameter = diameter;
    updateGeometry();
    update();
}

void PlainButton::setForeground(Theme::Paint paint) {
    m_foreground = paint;
    update();
}

void PlainButton::setTextFont(const QFont& font) {
    setFont(font);
    updateGeometry();
}

void PlainButton::setPadding(const QMargins& padding) {
    m_padding = padding;
    updateGeometry();
}

void PlainButton::setSpacing(int spacing) {
    m_spacing = spacing;
    updateGeometry();
}

QSize PlainButton::contentSize() const {
    int width = 0;
    int height = 0;
    int parts = 0;
    if (m_dot) {
        width += m_dotDiameter;
        height = qMax(height, m_dotDiameter);
        ++parts;
    }
    if (!m_iconName.isEmpty()) {
        width += m_iconSize;
        height = qMax(height, m_iconSize);
        ++parts;
    }
    if (!text().isEmpty()) {
        const QFontMetrics metrics(font());
        width += metrics.horizontalAdvance(text());
        height = qMax(height, metrics.height());
        ++parts;
    }
    width += qMax(0, parts - 1) * m_spacing;
    return {width, height};
}

QSize PlainButton::sizeHint() const {
    QSize size = contentSize().grownBy(m_padding);
    if (m_background == Background::Circle) {
        const int side = qMax(size.width(), size.height());
        size = {side, side};
    }
    return size;
}

QSize PlainButton::minimumSizeHint() const {
    // Texts elide, so a button may be narrower than its content.
    const QSize hint = sizeHint();
    return text().isEmpty() ? hint : QSize(qMin(hint.width(), 40), hint.height());
}

void PlainButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const QRectF bounds = rect();

    switch (m_background) {
    case Background::None:
        break;
    case Background::Circle:
    case Background::Capsule: {
        const qreal radius = qMin(bounds.width(), bounds.height()) / 2;
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::color(pal, m_backgroundPaint));
        painter.drawRoundedRect(bounds, radius, radius);
        break;
    }
    case Background::Card:
        Card::paintSurface(painter, bounds, m_cardRadius, pal);
        break;
    }

    // Pressed and disabled states dim the content, as plain buttons do.
    qreal opacity = isEnabled() ? 1.0 : 0.4;
    if (isDown())
        opacity *= 0.6;
    painter.setOpacity(opacity);

    const QRect inner = rect().marginsRemoved(m_padding);
    const QSize content = contentSize();
    int x = inner.left() + qMax(0, (inner.width() - content.width()) / 2);
    const int centerY = inner.center().y() + (inner.height() % 2 == 0 ? 1 : 0);

    if (m_dot) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::color(pal, *m_dot));
        painter.drawEllipse(QRectF(x, centerY - m_dotDiameter / 2.0, m_dotDiameter, m_dotDiameter));
        x += m_dotDiameter + m_spacing;
    }
    const QColor foreground = Theme::color(pal, m_foreground);
    if (!m_iconName.isEmpty()) {
        const QPixmap icon = Icons::pixmap(m_iconName, m_iconSize, foreground, devicePixelRatioF());
        painter.drawPixmap(x, centerY - m_iconSize / 2, icon);
        x += m_iconSize + m_spacing;
    }
    if (!text().isEmpty()) {
        const QFontMetrics metrics(font());
        const int available = inner.right() + 1 - x;
        const QString shown = metrics.elidedText(text(), Qt::ElideRight, available);
        painter.setPen(foreground);
        painter.setFont(font());
        painter.drawText(QRect(x, inner.top(), available, inner.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, shown);
    }

    if (Theme::showsFocusRing(this)) {
        painter.setOpacity(1.0);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Theme::color(pal, Theme::Tone::Accent, 0.8), 1.5));
        const qreal radius = m_background == Background::Card
                                 ? m_cardRadius
                                 : qMin(bounds.width(), bounds.height()) / 2;
        painter.drawRoundedRect(bounds.adjusted(1, 1, -1, -1), radius, radius);
    }
}
