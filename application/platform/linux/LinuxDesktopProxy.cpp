#include "platform/linux/LinuxDesktopProxy.h"
#include "platform/ToolProcess.h"

#include <QJsonValue>

#include <optional>

namespace {
const QString kLoopback = QStringLiteral("127.0.0.1");

QString quoted(const QString& text) {
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

// The tool's output without the line feed that ends it; none when it could not run.
std::optional<QString> outputLine(const QString& program, const QStringList& arguments) {
    const auto reply = ToolProcess::output(program, arguments);
    if (!reply)
        return std::nullopt;
    QString text = QString::fromUtf8(*reply);
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

// --- GNOME: org.gnome.system.proxy through gsettings -----------------------------------------

const QString kGnomeSchema = QStringLiteral("org.gnome.system.proxy");
const QString kMode = QStringLiteral("mode");
const QString kIgnoreHosts = QStringLiteral("ignore-hosts");
// Always bypassed while on: our own entries, then the loopback defaults GNOME ships.
const QStringList kGnomeBypass = {QStringLiteral("127.0.0.1"), QStringLiteral("localhost"),
                                  QStringLiteral("*.local"), QStringLiteral("127.0.0.0/8"),
                                  QStringLiteral("::1")};

// A key of the store: "mode" lies in the main schema, "http.host" in its "http" child.
struct GnomeKey {
    QString schema;
    QString key;
};

GnomeKey gnomeKey(const QString& name) {
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot < 0)
        return {kGnomeSchema, name};
    return {kGnomeSchema + QLatin1Char('.') + name.left(dot), name.mid(dot + 1)};
}

// Every value the snapshot holds; the mode is written back last.
const QStringList kGnomeValues = {QStringLiteral("autoconfig-url"), kIgnoreHosts,
                                  QStringLiteral("use-same-proxy"), QStringLiteral("http.host"),
                                  QStringLiteral("http.port"),      QStringLiteral("https.host"),
                                  QStringLiteral("https.port"),     QStringLiteral("socks.host"),
                                  QStringLiteral("socks.port")};

// The strings of a GVariant string array as gsettings prints it ("['a', \"b'c\"]", "@as []");
// none when the text is not one.
std::optional<QStringList> parseStringArray(QString text) {
    text = text.trimmed();
    if (text.startsWith(QLatin1String("@as")))
        text = text.mid(3).trimmed();
    if (!text.startsWith(QLatin1Char('[')) || !text.endsWith(QLatin1Char(']')))
        return std::nullopt;
    QStringList items;
    qsizetype i = 1;
    const qsizetype end = text.size() - 1;
    const auto skipBlanks = [&] {
        while (i < end && text.at(i).isSpace())
            ++i;
    };
    skipBlanks();
    while (i < end) {
        const QChar quote = text.at(i);
        if (quote != QLatin1Char('\'') && quote != QLatin1Char('"'))
            return std::nullopt;
        QString item;
        for (++i; i < end && text.at(i) != quote; ++i) {
            QChar c = text.at(i);
            if (c == QLatin1Char('\\') && i + 1 < end) {
                c = text.at(++i);
                if (c == QLatin1Char('n'))
                    c = QLatin1Char('\n');
                else if (c == QLatin1Char('t'))
                    c = QLatin1Char('\t');
            }
            item.append(c);
        }
        if (i >= end)
            return std::nullopt;
        items.append(item);
        ++i; // the closing quote
        skipBlanks();
        if (i < end) {
            if (text.at(i) != QLatin1Char(','))
                return std::nullopt;
            ++i;
            skipBlanks();
        }
    }
    return items;
}

QString formatStringArray(const QStringList& items) {
    QStringList quotedItems;
    for (QString item : items) {
        item.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
        item.replace(QLatin1Char('\''), QLatin1String("\\'"));
        quotedItems.append(quoted(item));
    }
    return QLatin1Char('[') + quotedItems.join(QLatin1String(", ")) + QLatin1Char(']');
}

class GnomeProxyStore : public ProxyStore {
public:
    explicit GnomeProxyStore(QString gsettings) : m_gsettings(std::move(gsettings)) {}

    QString name() const override { return QStringLiteral("gsettings"); }

    QJsonObject read() const override {
        QJsonObject values;
        for (const QString& name : kGnomeValues + QStringList{kMode}) {
            const GnomeKey key = gnomeKey(name);
            const auto value =
                outputLine(m_gsettings, {QStringLiteral("get"), key.schema, key.key});
            // Nothing printed: the key could not be read, and nothing is written back for it.
            if (value && !value->trimmed().isEmpty())
                values.insert(name, value->trimmed());
        }
        return values;
    }

    bool pointsAt(const QJsonObject& values, qint64 port) const override {
        return values.value(kMode).toString() == quoted(QStringLiteral("manual")) &&
               values.value(QStringLiteral("http.host")).toString() == quoted(kLoopback) &&
               values.value(QStringLiteral("http.port")).toString() == QString::number(port);
    }

    void switchOn(qint64 port, const QJsonObject& before) const override {
        // Hosts and ports first, the mode last: the proxy is never on with stale values.
        for (const char* kind : {"http", "https", "socks"}) {
            const QString prefix = QLatin1String(kind) + QLatin1Char('.');
            set(prefix + QStringLiteral("host"), quoted(kLoopback));
            set(prefix + QStringLiteral("port"), QString::number(port));
        }
        const QStringList users =
            parseStringArray(before.value(kIgnoreHosts).toString()).value_or(QStringList());
        set(kIgnoreHosts, formatStringArray(mergedBypass(users, kGnomeBypass)));
        set(kMode, quoted(QStringLiteral("manual")));
    }

    void restore(const QJsonObject& before) const override {
        for (const QString& name : kGnomeValues) {
            if (before.contains(name))
                set(name, before.value(name).toString());
        }
        set(kMode, before.value(kMode).toString(quoted(QStringLiteral("none"))));
    }

    void switchOff() const override { set(kMode, quoted(QStringLiteral("none"))); }

private:
    void set(const QString& name, const QString& value) const {
        const GnomeKey key = gnomeKey(name);
        ToolProcess::run(m_gsettings, {QStringLiteral("set"), key.schema, key.key, value});
    }

    QString m_gsettings;
};

// --- KDE: "Proxy Settings" of kioslaverc through kreadconfig and kwriteconfig ----------------

const QString kProxyType = QStringLiteral("ProxyType");
const QString kNoProxyFor = QStringLiteral("NoProxyFor");
const QString kReversedException = QStringLiteral("ReversedException");
const QStringList kKdeBypass = {QStringLiteral("127.0.0.1"), QStringLiteral("localhost"),
                                QStringLiteral(".local"), QStringLiteral("127.0.0.0/8"),
                                QStringLiteral("::1")};
// Every value the snapshot holds; the proxy type is written back last.
const QStringList kKdeValues = {QStringLiteral("httpProxy"),           QStringLiteral("httpsProxy"),
                                QStringLiteral("socksProxy"),          kNoProxyFor,
                                QStringLiteral("Proxy Config Script"), kReversedException};
// kreadconfig prints this for a key the file does not hold, so that an absent key is deleted
// again rather than written back empty.
const QString kAbsent = QStringLiteral("\x01vantrel-absent\x01");

QStringList kdeKey(const QString& key) {
    return {QStringLiteral("--file"),  QStringLiteral("kioslaverc"),
            QStringLiteral("--group"), QStringLiteral("Proxy Settings"),
            QStringLiteral("--key"),   key};
}

class KdeProxyStore : public ProxyStore {
public:
    KdeProxyStore(QString kreadconfig, QString kwriteconfig, QString dbusSend)
        : m_kreadconfig(std::move(kreadconfig)), m_kwriteconfig(std::move(kwriteconfig)),
          m_dbusSend(std::move(dbusSend)) {}

    QString name() const override { return QStringLiteral("kioslaverc"); }

    QJsonObject read() const override {
        QJsonObject values;
        for (const QString& key : kKdeValues + QStringList{kProxyType}) {
            const auto value =
                outputLine(m_kreadconfig, kdeKey(key) << QStringLiteral("--default") << kAbsent);
            if (!value)
                continue;
            values.insert(key, *value == kAbsent ? QJsonValue(QJsonValue::Null) : *value);
        }
        return values;
    }

    bool pointsAt(const QJsonObject& values, qint64 port) const override {
        // KDE's own settings dialog writes "http://127.0.0.1 17890", with a space.
        const QString http = values.value(QStringLiteral("httpProxy")).toString();
        const QString prefix = QStringLiteral("http://") + kLoopback;
        return values.value(kProxyType).toString() == QLatin1String("1") &&
               (http == prefix + QLatin1Char(':') + QString::number(port) ||
                http == prefix + QLatin1Char(' ') + QString::number(port));
    }

    void switchOn(qint64 port, const QJsonObject& before) const override {
        const QString address = kLoopback + QLatin1Char(':') + QString::number(port);
        write(QStringLiteral("httpProxy"), QStringLiteral("http://") + address);
        write(QStringLiteral("httpsProxy"), QStringLiteral("http://") + address);
        write(QStringLiteral("socksProxy"), QStringLiteral("socks://") + address);
        // The list names hosts to bypass only in manual mode without the reversed sense; in the
        // environment mode (4) it names a variable.
        QStringList users;
        if (before.value(kProxyType).toString() != QLatin1String("4") &&
            before.value(kReversedException).toString() != QLatin1String("true")) {
            for (const QString& entry :
                 before.value(kNoProxyFor).toString().split(QLatin1Char(','), Qt::SkipEmptyParts))
                users.append(entry.trimmed());
        }
        write(kNoProxyFor, mergedBypass(users, kKdeBypass).join(QLatin1Char(',')));
        write(kReversedException, QStringLiteral("false"));
        write(kProxyType, QStringLiteral("1")); // manual
        announce();
    }

    void restore(const QJsonObject& before) const override {
        for (const QString& key : kKdeValues + QStringList{kProxyType}) {
            const QJsonValue value = before.value(key);
            if (value.isString())
                write(key, value.toString());
            else if (value.isNull())
                ToolProcess::run(m_kwriteconfig, kdeKey(key)
                                                     << QStringLiteral("--delete") << QString());
        }
        if (!before.contains(kProxyType))
            write(kProxyType, QStringLiteral("0"));
        announce();
    }

    void switchOff() const override {
        write(kProxyType, QStringLiteral("0")); // none
        announce();
    }

private:
    void write(const QString& key, const QString& value) const {
        ToolProcess::run(m_kwriteconfig, kdeKey(key) << value);
    }

    // Running KDE programs reread their proxy settings only when told to.
    void announce() const {
        if (m_dbusSend.isEmpty())
            return;
        ToolProcess::run(m_dbusSend,
                         {QStringLiteral("--type=signal"), QStringLiteral("/KIO/Scheduler"),
                          QStringLiteral("org.kde.KIO.Scheduler.reparseSlaveConfiguration"),
                          QStringLiteral("string:")});
    }

    QString m_kreadconfig;
    QString m_kwriteconfig;
    QString m_dbusSend;
};

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

ProxyStores LinuxDesktopProxy::stores() const {
    ProxyStores stores;
    if (const QString gsettings = firstTool({QStringLiteral("gsettings")}); !gsettings.isEmpty())
        stores.push_back(std::make_unique<GnomeProxyStore>(gsettings));
    // Reading and writing go through the same generation of the tools.
    for (const char* version : {"6", "5"}) {
        const QString kreadconfig =
            firstTool({QStringLiteral("kreadconfig") + QLatin1String(version)});
        const QString kwriteconfig =
            firstTool({QStringLiteral("kwriteconfig") + QLatin1String(version)});
        if (kreadconfig.isEmpty() || kwriteconfig.isEmpty())
            continue;
        stores.push_back(std::make_unique<KdeProxyStore>(kreadconfig, kwriteconfig,
                                                         firstTool({QStringLiteral("dbus-send")})));
        break;
    }
    return stores;
}
