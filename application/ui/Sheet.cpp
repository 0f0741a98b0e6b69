#include "ui/Sheet.h"

#include <QVBoxLayout>

Sheet::Sheet(const QSize& size, const QString& title, QWidget* parent) : QDialog(parent) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    setFixedSize(size);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

void Sheet::setContent(QWidget* content) {
    layout()->addWidget(content);
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
    if (wanted && !m_sheet->isVisible())
        m_sheet->open();
    else if (!wanted && m_sheet->isVisible())
        m_sheet->done(QDialog::Accepted);
}
