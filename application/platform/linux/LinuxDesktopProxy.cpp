#include "platform/linux/LinuxDesktopProxy.h"
#include "platform/ToolProcess.h"

namespace {
const QString kLoopback = QStringLiteral("127.0.0.1");
const QString kGnomeSchema = QStringLiteral("org.gnome.system.proxy");
const QString kKdeFile = QStringLiteral("kioslaverc");
const QString kKdeGroup = QStringLiteral("Proxy Settings");

QString quoted(const QString& text) {
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

QString trimmedOutput(const QString& program, const QStringList& arguments) {
    const auto reply = ToolProcess::output(program, arguments);
    return reply ? QString::fromUtf8(*reply).trimmed() : QString();
}

QStringList kdeKey(const QString& key) {
    return {QStringLiteral("--file"), kKdeFile, QStringLiteral("--group"), kKdeGroup,
            QStringLiteral("--key"),  key};
}
} // namespace

LinuxDesktopProxy::LinuxDesktopProxy(QStringList searchPath)
    : m_searchPath(std::move(searchPath)) {}

LinuxDesktopProxy::LinuxDesktopProxy() : LinuxDesktopProxy(ToolProcess::environmentSearchPath()) {}

QString LinuxDesktopProxy::firstTool(const QStringList& names) const {
    for (const QString& name : names) {
        if (QString path = ToolProcess::find(name, m_searchPath); !path.isEmpty())
            return path;
    }
    return {};
}

void LinuxDesktopProxy::apply(bool enabled, qint64 mixedPort) {
    if (const QString gsettings = firstTool({QStringLiteral("gsettings")}); !gsettings.isEmpty())
        applyGnome(gsettings, enabled, mixedPort);
    const QString kwriteconfig =
        firstTool({QStringLiteral("kwriteconfig6"), QStringLiteral("kwriteconfig5")});
    if (!kwriteconfig.isEmpty())
        applyKde(kwriteconfig, enabled, mixedPort);
}

bool LinuxDesktopProxy::pointsAt(qint64 mixedPort) {
    if (const QString gsettings = firstTool({QStringLiteral("gsettings")});
        !gsettings.isEmpty() && gnomePointsAt(gsettings, mixedPort))
        return true;
    const QString kreadconfig =
        firstTool({QStringLiteral("kreadconfig6"), QStringLiteral("kreadconfig5")});
    return !kreadconfig.isEmpty() && kdePointsAt(kreadconfig, mixedPort);
}

void LinuxDesktopProxy::applyGnome(const QString& gsettings, bool enabled, qint64 mixedPort) const {
    const auto set = [&](const QString& schema, const QString& key, const QString& value) {
        ToolProcess::run(gsettings, {QStringLiteral("set"), schema, key, value});
    };
    if (enabled) {
        // Hosts and ports first, the mode last: the proxy is never on with stale values.
        const QString port = QString::number(mixedPort);
        for (const char* kind : {"http", "https", "socks"}) {
            const QString schema = kGnomeSchema + QLatin1Char('.') + QLatin1String(kind);
            set(schema, QStringLiteral("host"), quoted(kLoopback));
            set(schema, QStringLiteral("port"), port);
        }
        set(kGnomeSchema, QStringLiteral("ignore-hosts"),
            QStringLiteral("['127.0.0.1', 'localhost', '*.local']"));
        set(kGnomeSchema, QStringLiteral("mode"), quoted(QStringLiteral("manual")));
    } else {
        set(kGnomeSchema, QStringLiteral("mode"), quoted(QStringLiteral("none")));
    }
}

void LinuxDesktopProxy::applyKde(const QString& kwriteconfig, bool enabled,
                                 qint64 mixedPort) const {
    const auto write = [&](const QString& key, const QString& value) {
        ToolProcess::run(kwriteconfig, kdeKey(key) << value);
    };
    if (enabled) {
        const QString address = kLoopback + QLatin1Char(':') + QString::number(mixedPort);
        write(QStringLiteral("httpProxy"), QStringLiteral("http://") + address);
        write(QStringLiteral("httpsProxy"), QStringLiteral("http://") + address);
        write(QStringLiteral("socksProxy"), QStringLiteral("socks://") + address);
        write(QStringLiteral("NoProxyFor"), QStringLiteral("127.0.0.1,localhost,.local"));
        write(QStringLiteral("ProxyType"), QStringLiteral("1")); // manual
    } else {
        write(QStringLiteral("ProxyType"), QStringLiteral("0")); // none
    }
    // Running KDE programs reread their proxy settings only when told to.
    if (const QString dbusSend = firstTool({QStringLiteral("dbus-send")}); !dbusSend.isEmpty())
        ToolProcess::run(dbusSend,
                         {QStringLiteral("--type=signal"), QStringLiteral("/KIO/Scheduler"),
                          QStringLiteral("org.kde.KIO.Scheduler.reparseSlaveConfiguration"),
                          QStringLiteral("string:")});
}

bool LinuxDesktopProxy::gnomePointsAt(const QString& gsettings, qint64 mixedPort) const {
    const auto get = [&](const QString& schema, const QString& key) {
        return trimmedOutput(gsettings, {QStringLiteral("get"), schema, key});
    };
    const QString httpSchema = kGnomeSchema + QStringLiteral(".http");
    return get(kGnomeSchema, QStringLiteral("mode")) == quoted(QStringLiteral("manual")) &&
           get(httpSchema, QStringLiteral("host")) == quoted(kLoopback) &&
           get(httpSchema, QStringLiteral("port")) == QString::number(mixedPort);
}

bool LinuxDesktopProxy::kdePointsAt(const QString& kreadconfig, qint64 mixedPort) const {
    const auto read = [&](const QString& key) { return trimmedOutput(kreadconfig, kdeKey(key)); };
    return read(QStringLiteral("ProxyType")) == QLatin1String("1") &&
           read(QStringLiteral("httpProxy")) == QStringLiteral("http://") + kLoopback +
                                                    QLatin1Char(':') + QString::number(mixedPort);
}
