#pragma once

#include "ui/Theme.h"

#include <QLabel>

// A label that never pushes its layout wider: it wraps into at most `maxLines` lines and elides
// the last one, showing the whole text as its tooltip when it had to cut.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(int maxLines = 1, QWidget* parent = nullptr);

    // Shadows QLabel::setText so that geometry and tooltip follow the text.
    void setText(const QString& text);
    void setForeground(Theme::Paint paint);
    void setTextFont(const QFont& font);
    // An icon in the text's colour before the text.
    void setIcon(const QString& name, int size, int spacing);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return m_maxLines > 1; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The text laid out in `width`: at most m_maxLines lines, the last one elided.
    QStringList visibleLines(int width, bool* cut = nullptr) const;
    void updateToolTip();
    QRect textRect() const;

    int m_maxLines;
    Theme::Paint m_foreground{Theme::Tone::Primary, 1.0};
    QString m_iconName;
    int m_iconSize = 0;
    int m_iconSpacing = 0;
};
