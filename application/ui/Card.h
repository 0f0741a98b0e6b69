#pragma once

#include <QWidget>

// A rounded, lightly translucent surface with a hairline just inside its edge.
class Card : public QWidget {
    Q_OBJECT
public:
    explicit Card(int radius, QWidget* parent = nullptr);

    static void paintSurface(QPainter& painter, const QRectF& bounds, qreal radius,
                             const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int m_radius;
};

// A horizontal one-point divider line.
class Divider : public QWidget {
    Q_OBJECT
public:
    explicit Divider(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
