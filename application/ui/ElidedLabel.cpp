#include "ui/ElidedLabel.h"

#include "ui/Icons.h"

#include <QPainter>
#include <QTextLayout>

ElidedLabel::ElidedLabel(int maxLines, QWidget* parent)
    : QLabel(parent), m_maxLines(qMax(1, maxLines)) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(m_maxLines > 1);
    setSizePolicy(policy);
}

void ElidedLabel::setText(const QString& text) {
    if (text == QLabel::text())
        return;
    QLabel::setText(text);
    updateGeometry();
    updateToolTip();
    update();
}

void ElidedLabel::setForeground(Theme::Paint paint) {
    m_foreground = paint;
    update();
}

void ElidedLabel::setTextFont(const QFont& font) {
    setFont(font);
    updateGeometry();
}

void ElidedLabel::setIcon(const QString& name, int size, int spacing) {
    m_iconName = name;
    m_iconSize = size;
    m_iconSpacing = spacing;
    updateGeometry();
    update();
}

QRect ElidedLabel::textRect() const {
    const int indent = m_iconName.isEmpty() ? 0 : m_iconSize + m_iconSpacing;
    return contentsRect().adjusted(indent, 0, 0, 0);
}

QStringList ElidedLabel::visibleLines(int width, bool* cut) const {
    const QFontMetrics metrics(font());
    const QString full = text();
    QStringList lines;
    bool wasCut = false;
    if (m_maxLines == 1 || width <= 0) {
        const QString single = metrics.elidedText(full, Qt::ElideRight, qMax(0, width));
        wasCut = single != full;
        lines << single;
    } else {
        QTextLayout layout(full, font());
        layout.setTextOption(QTextOption(Qt::AlignLeft));
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        while (true) {
            QTextLine line = layout.createLine();
            if (!line.isValid())
                break;
            line.setLineWidth(width);
            if (lines.size() == m_maxLines - 1) {
                const QString rest = full.mid(line.textStart());
                const QString elided = metrics.elidedText(rest, Qt::ElideRight, width);
                wasCut = elided != rest;
                lines << elided;
                break;
            }
            lines << full.mid(line.textStart(), line.textLength());
        }
        layout.endLayout();
    }
    if (cut)
        *cut = wasCut;
    return lines;
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics metrics(font());
    const QMargins margins = contentsMargins();
    const int indent = m_iconName.isEmpty() ? 0 : m_iconSize + m_iconSpacing;
    const int width = indent + metrics.horizontalAdvance(text()) + 1;
    const int height = qMax(metrics.height(), m_iconSize);
    return QSize(width, height).grownBy(margins);
}

QSize ElidedLabel::minimumSizeHint() const {
    const QMargins margins = contentsMargins();
    const int height = qMax(QFontMetrics(font()).height(), m_iconSize);
    return {margins.left() + margins.right(), height + margins.top() + margins.bottom()};
}

int ElidedLabel::heightForWidth(int width) const {
    const QFontMetrics metrics(font());
    const QMargins margins = contentsMargins();
    const int indent = m_iconName.isEmpty() ? 0 : m_iconSize + m_iconSpacing;
    const auto lines = visibleLines(width - margins.left() - margins.right() - indent);
    return int(qMax<qsizetype>(1, lines.size())) * metrics.lineSpacing() + margins.top() +
           margins.bottom();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    updateToolTip();
}

void ElidedLabel::updateToolTip() {
    bool cut = false;
    visibleLines(textRect().width(), &cut);
    setToolTip(cut ? text() : QString());
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    const QColor color = Theme::color(palette(), m_foreground);
    painter.setPen(color);
    const QRect area = textRect();
    const QFontMetrics metrics(font());
    const QStringList lines = visibleLines(area.width());
    const int total = int(lines.size()) * metrics.lineSpacing();
    int y = area.top() + (alignment() & Qt::AlignTop ? 0 : qMax(0, (area.height() - total) / 2));
    const Qt::Alignment horizontal = alignment() & Qt::AlignHorizontal_Mask;
    for (const QString& line : lines) {
        painter.drawText(QRect(area.left(), y, area.width(), metrics.lineSpacing()),
                         int(horizontal ? horizontal : Qt::AlignLeft) | Qt::AlignVCenter, line);
        y += metrics.lineSpacing();
    }
    if (!m_iconName.isEmpty()) {
        const QRect box = contentsRect();
        const QPixmap icon = Icons::pixmap(m_iconName, m_iconSize, color, devicePixelRatioF());
        painter.drawPixmap(box.left(), box.top() + (box.height() - m_iconSize) / 2, icon);
    }
}
