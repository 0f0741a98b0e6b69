#pragma once

#include <QAbstractButton>

// An on/off switch that only shows the state it is given: a click emits clicked() and leaves
// the state alone, so the owner decides what the switch shows afterwards.
class SwitchButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SwitchButton(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {40, 24}; }

protected:
    void nextCheckState() override {}
    void paintEvent(QPaintEvent* event) override;
};
