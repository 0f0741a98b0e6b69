#include "ui/Accessibility.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QVariant>

namespace {

constexpr char RoleProperty[] = "vantrelAccessibleRole";

class ToggleButtonAccessible : public QAccessibleWidget {
public:
    ToggleButtonAccessible(QAbstractButton* button, QAccessible::Role role)
        : QAccessibleWidget(button, role) {}

    QString text(QAccessible::Text kind) const override {
        QString result = QAccessibleWidget::text(kind);
        if (kind == QAccessible::Name && result.isEmpty())
            result = button()->text();
        return result;
    }

    QAccessible::State state() const override {
        QAccessible::State result = QAccessibleWidget::state();
        result.checkable = true;
        result.checked = button()->isChecked();
        result.pressed = button()->isDown();
        return result;
    }

    QStringList actionNames() const override {
        if (!widget()->isEnabled())
            return {};
        return {toggleAction(), pressAction()};
    }

    void doAction(const QString& name) override {
        if (!widget()->isEnabled())
            return;
        if (name == toggleAction() || name == pressAction())
            button()->click();
    }

private:
    QAbstractButton* button() const { return static_cast<QAbstractButton*>(widget()); }
};

QAccessibleInterface* toggleButtonFactory(const QString&, QObject* object) {
    auto* button = qobject_cast<QAbstractButton*>(object);
    if (!button)
        return nullptr;
    const QVariant role = button->property(RoleProperty);
    if (!role.isValid())
        return nullptr;
    return new ToggleButtonAccessible(button, QAccessible::Role(role.toInt()));
}

} // namespace

namespace Accessibility {

void setToggleRole(QAbstractButton* button, QAccessible::Role role) {
    static const bool installed = [] {
        QAccessible::installFactory(toggleButtonFactory);
        return true;
    }();
    Q_UNUSED(installed);
    button->setCheckable(true);
    button->setProperty(RoleProperty, int(role));
}

} // namespace Accessibility
