#pragma once

#include "ui/Theme.h"

#include <QWidget>

// A linear progress bar for a fraction from 0 to 1, its fill in one tint.
class QuotaBar : public QWidget {
    Q_OBJECT
public:
    explicit QuotaBar(QWidget* parent = nullptr);

    double fraction() const { return m_fraction; }
    void setFraction(double fraction);
    Theme::Tone tint() const { return m_tint; }
    void setTint(Theme::Tone tint);

    QSize sizeHint() const override { return {100, 6}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double m_fraction = 0;
    Theme::Tone m_tint = Theme::Tone::Accent;
};
