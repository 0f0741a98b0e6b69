#pragma once

#include <QAbstractButton>

// An on/off switch. Every change of its state, by mouse, keyboard or a screen reader's Toggle
// action, arrives as toggled(); the owner acts on it and then sets the state the controller holds,
// so a refused change snaps back.
class SwitchButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SwitchButton(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {40, 24}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};
