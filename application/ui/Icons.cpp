#include "ui/Icons.h"

#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>

// The icons live in this static library; without an explicit reference the linker would drop them.
static void ensureIconResources() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    Q_UNUSED(loaded);
}

namespace Icons {

QPixmap pixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio) {
    const QString key = QStringLiteral("vantrel-icon:%1:%2:%3:%4")
                            .arg(name)
                            .arg(size)
                            .arg(color.rgba(), 0, 16)
                            .arg(devicePixelRatio);
    ensureIconResources();
    QPixmap cached;
    if (QPixmapCache::find(key, &cached))
        return cached;

    const int side = qMax(1, qRound(size * devicePixelRatio));
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        // The SVGs are drawn in black; the colour replaces it while the shape's alpha stays.
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
        renderer.render(&painter);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    image.setDevicePixelRatio(devicePixelRatio);
    QPixmap result = QPixmap::fromImage(image);
    QPixmapCache::insert(key, result);
    return result;
}

} // namespace Icons
