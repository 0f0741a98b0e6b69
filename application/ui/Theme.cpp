#include "ui/Theme.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QWidget>

namespace Theme {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

namespace {

QColor withOpacity(QColor color, qreal opacity) {
    color.setAlphaF(color.alphaF() * opacity);
    return color;
}

// System colours in their light and dark variants.
QColor systemColor(const QPalette& palette, QRgb light, QRgb dark) {
    return QColor::fromRgb(isDark(palette) ? dark : light);
}

} // namespace

QColor color(const QPalette& palette, Tone tone, qreal opacity) {
    const QColor text = palette.color(QPalette::WindowText);
    QColor base;
    switch (tone) {
    case Tone::Primary:
        base = text;
        break;
    case Tone::Secondary:
        base = withOpacity(text, 0.55);
        break;
    case Tone::Quaternary:
        base = withOpacity(text, 0.10);
        break;
    case Tone::Green:
        base = systemColor(palette, 0x28a745, 0x30d158);
        break;
    case Tone::Gray:
        base = systemColor(palette, 0x8e8e93, 0x98989d);
        break;
    case Tone::Orange:
        base = systemColor(palette, 0xff9500, 0xff9f0a);
        break;
    case Tone::Red:
        base = systemColor(palette, 0xe0302a, 0xff453a);
        break;
    case Tone::Blue:
        base = systemColor(palette, 0x007aff, 0x0a84ff);
        break;
    case Tone::Accent:
        base = palette.color(QPalette::Highlight);
        break;
    }
    return withOpacity(base, opacity);
}

QColor cardFill(const QPalette& palette) {
    return withOpacity(palette.color(QPalette::Base), isDark(palette) ? 0.55 : 0.7);
}

QColor hairline(const QPalette& palette) {
    return color(palette, Tone::Primary, 0.06);
}

bool showsFocusRing(const QWidget* widget) {
    return widget->hasFocus() && widget->window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

namespace {

int pixelSize(TextStyle style) {
    switch (style) {
    case TextStyle::Title3:
        return 17;
    case TextStyle::Headline:
        return 14;
    case TextStyle::Subheadline:
        return 12;
    case TextStyle::Caption:
        return 11;
    case TextStyle::Caption2:
        return 10;
    }
    return 12;
}

} // namespace

QFont font(TextStyle style, Weight weight) {
    QFont result = QApplication::font();
    result.setPixelSize(pixelSize(style));
    if (style == TextStyle::Headline && weight == Weight::Regular)
        weight = Weight::Semibold;
    switch (weight) {
    case Weight::Regular:
        result.setWeight(QFont::Normal);
        break;
    case Weight::Medium:
        result.setWeight(QFont::Medium);
        break;
    case Weight::Semibold:
        result.setWeight(QFont::DemiBold);
        break;
    }
    return result;
}

QFont monospaced(TextStyle style) {
    QFont result = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    result.setPixelSize(pixelSize(style));
    return result;
}

} // namespace Theme
