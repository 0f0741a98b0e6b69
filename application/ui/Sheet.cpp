#include "ui/Sheet.h"

#include "ui/Theme.h"

#include <QEvent>
#include <QPainter>
#include <QVBoxLayout>

Sheet::Sheet(const QSize& size, const QString& title, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    setFixedSize(size);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (QWidget* owner = ownerWindow())
        owner->installEventFilter(this);
}

void Sheet::setContent(QWidget* content) {
    layout()->addWidget(content);
}

QWidget* Sheet::ownerWindow() const {
    return parentWidget() ? parentWidget()->window() : nullptr;
}

QPoint Sheet::attachedPosition() const {
    const QWidget* owner = ownerWindow();
    if (!owner)
        return pos();
    const QRect area = owner->geometry(); // the window's content, below any title bar
    return {area.left() + (area.width() - width()) / 2, area.top()};
}

void Sheet::attach() {
    const QPoint wanted = attachedPosition();
    if (pos() != wanted)
        move(wanted);
}

bool Sheet::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ownerWindow() && isVisible() &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        attach();
    return QDialog::eventFilter(watched, event);
}

void Sheet::showEvent(QShowEvent* event) {
    attach();
    QDialog::showEvent(event);
}

void Sheet::paintEvent(QPaintEvent*) {
    // Without a frame, a hairline edge keeps the sheet apart from the window under it.
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.setPen(QPen(Theme::color(palette(), Theme::Tone::Primary, 0.22), 1.0));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

SheetBinding::SheetBinding(Factory factory, Flag flag, ClearFlag clearFlag, QObject* parent)
    : QObject(parent), m_factory(std::move(factory)), m_flag(std::move(flag)),
      m_clearFlag(std::move(clearFlag)) {}

void SheetBinding::sync() {
    const bool wanted = m_flag();
    if (wanted && !m_sheet) {
        m_sheet = m_factory();
        connect(m_sheet, &QDialog::finished, this, [this] {
            if (m_flag())
                m_clearFlag();
        });
    }
    if (!m_sheet)
        return;
    if (wanted && !m_sheet->isVisible()) {
        m_sheet->move(m_sheet->attachedPosition()); // placed before it is mapped
        m_sheet->open();
    } else if (!wanted && m_sheet->isVisible())
        m_sheet->done(QDialog::Accepted);
}
