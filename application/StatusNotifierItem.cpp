#include "StatusNotifierItem.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QMenu>
#include <QtEndian>

namespace {

const QString kItemPath = QStringLiteral("/StatusNotifierItem");

} // namespace

// One image of the icon: width, height and ARGB32 pixels in network byte order.
struct SniPixmap {
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using SniPixmapList = QList<SniPixmap>;

// Icon name, images, title and text of the tool tip.
struct SniToolTip {
    QString iconName;
    SniPixmapList pixmaps;
    QString title;
    QString text;
};

Q_DECLARE_METATYPE(SniPixmap)
Q_DECLARE_METATYPE(SniToolTip)

QDBusArgument& operator<<(QDBusArgument& argument, const SniPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.pixels;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.pixels;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& toolTip) {
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& toolTip) {
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

namespace {

SniPixmapList pixmapsOf(const QIcon& icon) {
    SniPixmapList list;
    if (icon.isNull())
        return list;
    for (const int side : {16, 22, 32, 48}) {
        const QImage image =
            icon.pixmap(QSize(side, side)).toImage().convertToFormat(QImage::Format_ARGB32);
        SniPixmap pixmap{image.width(), image.height(), QByteArray()};
        pixmap.pixels.resize(qsizetype(image.width()) * image.height() * 4);
        uchar* out = reinterpret_cast<uchar*>(pixmap.pixels.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out += 4)
                qToBigEndian(line[x], out);
        }
        list.append(pixmap);
    }
    return list;
}

} // namespace

// The exported org.kde.StatusNotifierItem interface; everything it shows comes from the item.
class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(SniPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ iconName)
    Q_PROPERTY(SniPixmapList OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(SniPixmapList AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ iconName)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem* item)
        : QDBusAbstractAdaptor(item), m_item(item) {
        connect(item, &StatusNotifierItem::iconChanged, this, &StatusNotifierItemAdaptor::NewIcon);
        connect(item, &StatusNotifierItem::titleChanged, this, [this] {
            emit NewTitle();
            emit NewToolTip();
        });
    }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QCoreApplication::applicationName(); }
    QString title() const { return m_item->title(); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconName() const { return QString(); }
    SniPixmapList iconPixmap() const { return pixmapsOf(m_item->icon()); }
    SniPixmapList noPixmaps() const { return {}; }
    SniToolTip toolTip() const { return {QString(), {}, m_item->title(), QString()}; }
    bool itemIsMenu() const { return false; }
    // No exported menu: the host asks for ContextMenu instead.
    QDBusObjectPath menu() const { return QDBusObjectPath(QStringLiteral("/NO_DBUSMENU")); }

public slots:
    void Activate(int, int) { emit m_item->activated(); }
    void SecondaryActivate(int, int) { emit m_item->activated(); }
    void ContextMenu(int x, int y) { m_item->showContextMenu(x, y); }
    void Scroll(int, const QString&) {}

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem* m_item;
};

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)),
      m_serviceName(QStringLiteral("org.kde.StatusNotifierItem-%1-1")
                        .arg(QCoreApplication::applicationPid())) {
    qDBusRegisterMetaType<SniPixmap>();
    qDBusRegisterMetaType<SniPixmapList>();
    qDBusRegisterMetaType<SniToolTip>();
    new StatusNotifierItemAdaptor(this);
}

StatusNotifierItem::~StatusNotifierItem() {
    if (m_exported) {
        m_bus.unregisterObject(kItemPath);
        m_bus.unregisterService(m_serviceName);
    }
}

bool StatusNotifierItem::isHostAvailable() const {
    QDBusConnectionInterface* bus = m_bus.isConnected() ? m_bus.interface() : nullptr;
    return bus && bus->isServiceRegistered(QLatin1String(watcherService));
}

void StatusNotifierItem::start() {
    if (m_watcher || !m_bus.isConnected())
        return;
    m_watcher = new QDBusServiceWatcher(QLatin1String(watcherService), m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &StatusNotifierItem::registerWithWatcher);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { setRegistered(false); });
    m_exported = m_bus.registerService(m_serviceName) &&
                 m_bus.registerObject(kItemPath, this, QDBusConnection::ExportAdaptors);
    if (isHostAvailable())
        registerWithWatcher();
}

void StatusNotifierItem::registerWithWatcher() {
    if (!m_exported)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(watcherService), QStringLiteral("/StatusNotifierWatcher"),
        QLatin1String(watcherService), QStringLiteral("RegisterStatusNotifierItem"));
    call << m_serviceName;
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        setRegistered(!w->isError());
    });
}

void StatusNotifierItem::setRegistered(bool registered) {
    if (registered == m_registered)
        return;
    m_registered = registered;
    emit registrationChanged();
}

void StatusNotifierItem::setIcon(const QIcon& icon) {
    m_icon = icon;
    emit iconChanged();
}

void StatusNotifierItem::setTitle(const QString& title) {
    m_title = title;
    emit titleChanged();
}

void StatusNotifierItem::setContextMenu(QMenu* menu) {
    m_menu = menu;
}

void StatusNotifierItem::showContextMenu(int x, int y) {
    if (m_menu)
        m_menu->popup(QPoint(x, y));
}

#include "StatusNotifierItem.moc"
