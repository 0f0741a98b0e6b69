#pragma once

#include <QPushButton>

// A push button in the views' language: a capsule sized to its text, tinted with the accent
// colour when it is the sheet's default button and quietly grey otherwise. It stays a
// QPushButton, so Return and the default-button rules of a dialog work as usual.
class CapsuleButton : public QPushButton {
    Q_OBJECT
public:
    explicit CapsuleButton(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
};
