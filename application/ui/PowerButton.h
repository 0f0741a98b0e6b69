#pragma once

#include <QAbstractButton>

// The 92-point connect button: a tinted disc, a ring inside its edge and the power symbol.
class PowerButton : public QAbstractButton {
    Q_OBJECT
    Q_PROPERTY(bool connected READ isConnected WRITE setConnected)
public:
    static constexpr int Diameter = 92;

    explicit PowerButton(QWidget* parent = nullptr);

    bool isConnected() const { return m_connected; }
    void setConnected(bool connected);

    QSize sizeHint() const override { return {Diameter, Diameter}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_connected = false;
};
