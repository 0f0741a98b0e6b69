#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

// The views' line icons (resources under ":/icons/<name>.svg"), drawn in one colour.
namespace Icons {
// A square pixmap of `size` logical pixels for the given device pixel ratio.
QPixmap pixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio);
} // namespace Icons
