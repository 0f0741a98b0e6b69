#pragma once

#include "ui/Theme.h"

#include <QLabel>

// A short text on a capsule-shaped tinted background.
class Badge : public QLabel {
    Q_OBJECT
public:
    Badge(const QString& text, Theme::Paint fill, QWidget* parent = nullptr);

    Theme::Paint fill() const { return m_fill; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Theme::Paint m_fill;
};
