#pragma once

#include "ui/Theme.h"

#include <QAbstractButton>
#include <QMargins>
#include <optional>

// A button drawn as its content only: an optional dot, an optional icon and an optional text in
// one centred row, over an optional background shape (circle, capsule or card).
class PlainButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Background { None, Circle, Capsule, Card };

    explicit PlainButton(QWidget* parent = nullptr);

    void setBackground(Background background, int cardRadius = 10);
    void setBackgroundPaint(Theme::Paint paint);
    void setIconName(const QString& name, int size);
    void setDot(std::optional<Theme::Paint> paint, int diameter = 7);
    std::optional<Theme::Paint> dot() const { return m_dot; }
    void setForeground(Theme::Paint paint);
    void setTextFont(const QFont& font);
    void setPadding(const QMargins& padding);
    void setSpacing(int spacing);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSize contentSize() const;

    Background m_background = Background::None;
    int m_cardRadius = 10;
    Theme::Paint m_backgroundPaint{Theme::Tone::Quaternary, 0.6};
    QString m_iconName;
    int m_iconSize = 14;
    std::optional<Theme::Paint> m_dot;
    int m_dotDiameter = 7;
    Theme::Paint m_foreground{Theme::Tone::Primary, 1.0};
    QMargins m_padding;
    int m_spacing = 6;
};
