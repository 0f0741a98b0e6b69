#pragma once

#include <QColor>
#include <QFont>

class QPalette;
class QWidget;

// Semantic colours and text styles of the views, derived from the widget's palette so that light
// and dark palettes both read well.
namespace Theme {

enum class Tone { Primary, Secondary, Quaternary, Green, Gray, Orange, Red, Blue, Accent };

// A tone at an opacity; resolved against a palette when painted.
struct Paint {
    Tone tone = Tone::Primary;
    qreal opacity = 1.0;
    bool operator==(const Paint&) const = default;
};

bool isDark(const QPalette& palette);
QColor color(const QPalette& palette, Tone tone, qreal opacity = 1.0);
inline QColor color(const QPalette& palette, Paint paint) {
    return color(palette, paint.tone, paint.opacity);
}
// The translucent surface of a card and its 6 % hairline.
QColor cardFill(const QPalette& palette);
QColor hairline(const QPalette& palette);

// Whether a widget should draw its focus ring: it has focus and the user moved it there with the
// keyboard (a window's initial focus or a click shows none).
bool showsFocusRing(const QWidget* widget);

enum class TextStyle { Title3, Headline, Subheadline, Caption, Caption2 };
enum class Weight { Regular, Medium, Semibold };

// Text styles in logical pixels. The UI fonts' default figures are tabular, so numbers that
// change in place (speeds, latency) do not jitter without a separate monospaced-digits font.
QFont font(TextStyle style, Weight weight = Weight::Regular);
QFont monospaced(TextStyle style);

} // namespace Theme
