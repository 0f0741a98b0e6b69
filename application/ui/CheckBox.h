#pragma once

#include <QCheckBox>

// A check box in the views' language: a small rounded square, filled with the accent colour and
// a white tick when checked, with its text beside it. Behaviour and accessibility are QCheckBox's.
class CheckBox : public QCheckBox {
    Q_OBJECT
public:
    explicit CheckBox(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    bool hitButton(const QPoint& position) const override { return rect().contains(position); }
    void paintEvent(QPaintEvent* event) override;
};
