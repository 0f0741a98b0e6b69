#include "ui/SegmentedControl.h"

#include "ui/Accessibility.h"
#include "ui/Theme.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QScopedValueRollback>

namespace {

class Segment : public QAbstractButton {
    Q_OBJECT
public:
    explicit Segment(const QString& title, QWidget* parent) : QAbstractButton(parent) {
        Accessibility::setToggleRole(this, QAccessible::RadioButton);
        setText(title);
        setFocusPolicy(Qt::TabFocus);
        setFont(Theme::font(Theme::TextStyle::Subheadline));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override {
        const QFontMetrics metrics(font());
        return {metrics.horizontalAdvance(text()) + 16, metrics.height() + 6};
    }

protected:
    // A chosen segment is chosen again rather than unchosen: the owner sets the selection.
    void nextCheckState() override { setChecked(true); }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPalette& pal = palette();
        const QRectF bounds = QRectF(rect()).adjusted(2, 2, -2, -2);
        if (isChecked()) {
            painter.setPen(QPen(Theme::hairline(pal), 0.5));
            painter.setBrush(Theme::isDark(pal) ? Theme::color(pal, Theme::Tone::Primary, 0.22)
                                                : pal.color(QPalette::Base));
            painter.drawRoundedRect(bounds, 5, 5);
        } else if (isDown()) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(Theme::color(pal, Theme::Tone::Primary, 0.06));
            painter.drawRoundedRect(bounds, 5, 5);
        }
        if (Theme::showsFocusRing(this)) {
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(Theme::color(pal, Theme::Tone::Accent, 0.8), 1.5));
            painter.drawRoundedRect(bounds, 5, 5);
        }
        painter.setPen(Theme::color(pal, Theme::Tone::Primary, isEnabled() ? 1.0 : 0.4));
        painter.setFont(font());
        painter.drawText(rect(), Qt::AlignCenter,
                         fontMetrics().elidedText(text(), Qt::ElideRight, width() - 6));
    }
};

} // namespace

SegmentedControl::SegmentedControl(const QStringList& titles, QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (int index = 0; index < titles.size(); ++index) {
        auto* segment = new Segment(titles[index], this);
        segment->setAccessibleName(titles[index]);
        // Any change of a segment (mouse, keyboard, a screen reader's Toggle) asks the owner, who
        // then shows the selection it holds; a refused choice snaps back.
        connect(segment, &QAbstractButton::toggled, this, [this, index] {
            if (!m_updating)
                emit activated(index);
        });
        layout->addWidget(segment);
        m_segments << segment;
    }
}

int SegmentedControl::currentIndex() const {
    for (int index = 0; index < m_segments.size(); ++index)
        if (m_segments[index]->isChecked())
            return index;
    return -1;
}

void SegmentedControl::setCurrentIndex(int index) {
    const QScopedValueRollback<bool> updating(m_updating, true);
    for (int i = 0; i < m_segments.size(); ++i)
        m_segments[i]->setChecked(i == index);
}

void SegmentedControl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::color(palette(), Theme::Tone::Primary, 0.08));
    painter.drawRoundedRect(QRectF(rect()), 7, 7);
}

#include "SegmentedControl.moc"
