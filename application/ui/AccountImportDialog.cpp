#include "ui/AccountImportDialog.h"

#include "controller/MihomoManager.h"
#include "ui/ElidedLabel.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using Theme::TextStyle;
using Theme::Tone;

namespace {

constexpr int kWidth = 380;

ElidedLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new ElidedLabel(1, parent);
    label->setTextFont(Theme::font(TextStyle::Subheadline));
    label->setText(text);
    return label;
}

ElidedLabel* errorLine(const char* name, QWidget* parent) {
    auto* label = new ElidedLabel(2, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFont(Theme::font(TextStyle::Caption));
    label->setForeground({Tone::Red, 1.0});
    label->hide();
    return label;
}

} // namespace

AccountImportDialog::AccountImportDialog(MihomoManager& manager, QWidget* parent)
    : QDialog(parent), m_manager(manager) {
    setWindowTitle(QStringLiteral("导入账号"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(kWidth);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(6);

    auto* heading = new ElidedLabel(1, this);
    heading->setTextFont(Theme::font(TextStyle::Headline));
    heading->setText(QStringLiteral("导入账号"));
    column->addWidget(heading);
    column->addSpacing(8);

    column->addWidget(caption(QStringLiteral("节点链接"), this));
    m_linkField = new QLineEdit(this);
    m_linkField->setObjectName(QStringLiteral("linkField"));
    m_linkField->setAccessibleName(QStringLiteral("节点链接"));
    m_linkField->setPlaceholderText(QStringLiteral("vless://…"));
    column->addWidget(m_linkField);
    m_linkError = errorLine("linkError", this);
    column->addWidget(m_linkError);
    column->addSpacing(8);

    column->addWidget(caption(QStringLiteral("访问令牌"), this));
    m_tokenField = new QLineEdit(this);
    m_tokenField->setObjectName(QStringLiteral("tokenField"));
    m_tokenField->setAccessibleName(QStringLiteral("访问令牌"));
    m_tokenField->setPlaceholderText(QStringLiteral("可选，留空则保持不变"));
    column->addWidget(m_tokenField);
    m_tokenError = errorLine("tokenError", this);
    column->addWidget(m_tokenError);
    column->addSpacing(12);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addWidget(cancel);
    m_importButton = new QPushButton(QStringLiteral("导入"), this);
    m_importButton->setObjectName(QStringLiteral("importButton"));
    m_importButton->setDefault(true);
    connect(m_importButton, &QPushButton::clicked, this, &AccountImportDialog::importAccount);
    buttons->addWidget(m_importButton);
    column->addLayout(buttons);

    // A link the user just copied is what they came to import.
    if (const QClipboard* clipboard = QGuiApplication::clipboard()) {
        const QString copied = clipboard->text().trimmed();
        if (VlessLink::looksLikeLink(copied) && copied.size() <= VlessLink::maxLength)
            m_linkField->setText(copied);
    }
    connect(m_linkField, &QLineEdit::textChanged, this, &AccountImportDialog::validate);
    connect(m_tokenField, &QLineEdit::textChanged, this, &AccountImportDialog::validate);
    validate();
}

void AccountImportDialog::validate() {
    QString linkError;
    QString tokenError;
    m_account =
        AccountImport::parse(m_linkField->text(), m_tokenField->text(), &linkError, &tokenError);
    // An empty field is not yet an error: it only keeps "导入" disabled.
    if (m_linkField->text().trimmed().isEmpty())
        linkError.clear();
    auto show = [](ElidedLabel* label, QLineEdit* field, const QString& error) {
        label->setText(error);
        label->setVisible(!error.isEmpty());
        field->setAccessibleDescription(error);
    };
    show(m_linkError, m_linkField, linkError);
    show(m_tokenError, m_tokenField, tokenError);
    m_importButton->setEnabled(m_account.has_value());
    adjustSize();
}

void AccountImportDialog::importAccount() {
    if (!m_account)
        return;
    m_manager.importAccount(*m_account);
    accept();
}
