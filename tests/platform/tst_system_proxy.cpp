// The desktop's proxy stores over stateful fake tools: what the user had before connecting is
// what they have after every sequence of connect, disconnect, crash and restart.
#include "FakeTools.h"

#include "platform/SystemProxy.h"
#include "platform/SystemProxyKeeper.h"
#include "platform/linux/LinuxDesktopProxy.h"
#include "platform/macos/NetworkSetupProxy.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using Calls = QList<QStringList>;
using State = QMap<QString, QByteArray>;

namespace {

constexpr qint64 kPort = 17890;
const QString kGnome = "org.gnome.system.proxy";
const QByteArray kListing = "An asterisk (*) denotes that a network service is disabled.\n"
                            "Wi-Fi\n*Bluetooth PAN\nThunderbolt Bridge\n";

QStringList gset(const QString& schema, const QString& key, const QString& value) {
    return {"gsettings", "set", schema, key, value};
}

QStringList kset(const QString& version, const QString& key, const QString& value) {
    return {"kwriteconfig" + version, "--file", "kioslaverc", "--group",
            "Proxy Settings",         "--key",  key,          value};
}

QStringList nset(const QStringList& arguments) {
    return QStringList{"networksetup"} + arguments;
}

// The settings a user may have before the first connect, as commands of the desktop's tools.
Calls gnomeSettings(const QString& before) {
    Calls calls = {gset(kGnome, "mode", "'none'"), gset(kGnome, "autoconfig-url", "''"),
                   gset(kGnome, "ignore-hosts", "['localhost', '127.0.0.0/8', '::1']"),
                   gset(kGnome, "use-same-proxy", "true")};
    for (const QString kind : {"http", "https", "socks"}) {
        calls.append(gset(kGnome + "." + kind, "host", "''"));
        calls.append(gset(kGnome + "." + kind, "port", "0"));
    }
    if (before == "pac") {
        calls.append(gset(kGnome, "autoconfig-url", "'http://wpad.corp.example/proxy.pac'"));
        calls.append(
            gset(kGnome, "ignore-hosts",
                 R"(['localhost', '127.0.0.0/8', '::1', '*.corp.example', "o'brien.example"])"));
        calls.append(gset(kGnome, "mode", "'auto'"));
    } else if (before == "manual") {
        for (const QString kind : {"http", "https"}) {
            calls.append(gset(kGnome + "." + kind, "host", "'proxy.corp.example'"));
            calls.append(gset(kGnome + "." + kind, "port", "3128"));
        }
        calls.append(gset(kGnome, "use-same-proxy", "false"));
        calls.append(gset(kGnome, "mode", "'manual'"));
    }
    return calls;
}

Calls kdeSettings(const QString& version, const QString& before) {
    if (before == "pac")
        return {kset(version, "Proxy Config Script", "http://wpad.corp.example/proxy.pac"),
                kset(version, "NoProxyFor", ".corp.example,intranet"),
                kset(version, "ProxyType", "2")};
    if (before == "manual")
        return {kset(version, "httpProxy", "http://proxy.corp.example 3128"),
                kset(version, "httpsProxy", "http://proxy.corp.example 3128"),
                kset(version, "socksProxy", ""),
                kset(version, "NoProxyFor", "localhost,.corp.example"),
                kset(version, "ReversedException", "false"),
                kset(version, "ProxyType", "1")};
    return {}; // a fresh KDE holds no proxy keys at all
}

Calls macSettings(const QString& before) {
    // Every service has its fields from the start, empty and off.
    Calls calls;
    for (const QString service : {"Wi-Fi", "Thunderbolt Bridge"}) {
        for (const QString kind : {"web", "secureweb", "socksfirewall"}) {
            calls.append(nset({"-set" + kind + "proxy", service, "", "0"}));
            calls.append(nset({"-set" + kind + "proxystate", service, "off"}));
        }
        calls.append(nset({"-setautoproxystate", service, "off"}));
        calls.append(nset({"-setproxybypassdomains", service, "*.local", "169.254/16"}));
    }
    if (before == "pac") {
        calls.append(nset({"-setautoproxyurl", "Wi-Fi", "http://wpad.corp.example/proxy.pac"}));
    } else if (before == "manual") {
        calls.append(nset({"-setwebproxy", "Wi-Fi", "proxy.corp.example", "3128"}));
        calls.append(nset({"-setsecurewebproxy", "Wi-Fi", "proxy.corp.example", "3128"}));
        // Configured but off: stays configured and off.
        calls.append(
            nset({"-setsocksfirewallproxy", "Thunderbolt Bridge", "socks.corp.example", "1080"}));
        calls.append(nset({"-setsocksfirewallproxystate", "Thunderbolt Bridge", "off"}));
    }
    return calls;
}

// One desktop's stores over fresh fake tools.
struct Desktop {
    FakeTools tools;
    std::unique_ptr<SystemProxy> proxy;

    explicit Desktop(const QString& kind) {
        if (kind == "gnome") {
            tools.addGsettings();
            proxy = std::make_unique<LinuxDesktopProxy>(QStringList{tools.folder()});
        } else if (kind.startsWith("kde")) {
            tools.addKdeConfig(kind.mid(3));
            proxy = std::make_unique<LinuxDesktopProxy>(QStringList{tools.folder()});
        } else {
            proxy = std::make_unique<NetworkSetupProxy>(tools.addNetworkSetup(kListing));
        }
    }

    void run(const Calls& calls) {
        for (const QStringList& call : calls)
            tools.run(call.first(), call.mid(1));
    }

    Calls settings(const QString& kind, const QString& before) const {
        if (kind == "gnome")
            return gnomeSettings(before);
        if (kind.startsWith("kde"))
            return kdeSettings(kind.mid(3), before);
        return macSettings(before);
    }
};

// The files of `from` below `prefix` in place of those of `into`.
State withPart(State into, const State& from, const QString& prefix) {
    for (auto it = into.begin(); it != into.end();) {
        if (it.key().startsWith(prefix))
            it = into.erase(it);
        else
            ++it;
    }
    for (auto it = from.cbegin(); it != from.cend(); ++it) {
        if (it.key().startsWith(prefix))
            into.insert(it.key(), it.value());
    }
    return into;
}

} // namespace

class SystemProxyTest : public QObject {
    Q_OBJECT

private slots:
    void userSettingsComeBack_data();
    void userSettingsComeBack();
    void runWithoutConnectRunsNoTool_data();
    void runWithoutConnectRunsNoTool();
    void bypassKeepsUserEntriesWhileOn_data();
    void bypassKeepsUserEntriesWhileOn();
    void mergedBypassAddsOursOnce();
};

void SystemProxyTest::userSettingsComeBack_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("sequence");
    const auto row = [](const char* kind, const char* before, const char* sequence) {
        QTest::addRow("%s, %s, %s", kind, before, sequence)
            << QString(kind) << QString(before) << QString(sequence);
    };
    for (const char* kind : {"gnome", "kde5", "macos"}) {
        row(kind, "pac", "disconnect");
        row(kind, "manual", "disconnect");
        row(kind, "pac", "user changes it while on");
    }
    row("kde5", "pac", "crash, next start");
    row("macos", "pac", "crash, next start");
    row("gnome", "pac", "crash, connect before recovery");
    row("kde5", "manual", "dialog rewrites ours");
}

void SystemProxyTest::userSettingsComeBack() {
    QFETCH(QString, kind);
    QFETCH(QString, before);
    QFETCH(QString, sequence);
    Desktop desktop(kind);
    desktop.run(desktop.settings(kind, before));
    const State original = desktop.tools.state();
    QTemporaryDir data;
    const QString snapshot = data.filePath("proxy_snapshot.json");

    auto keeper = std::make_unique<SystemProxyKeeper>(desktop.proxy.get(), snapshot);
    keeper->switchOn(kPort);
    QVERIFY(desktop.proxy->pointsAt(kPort));
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFileInfo(snapshot).permissions() & others, QFile::Permissions());

    State expected = original;
    if (sequence == "disconnect") {
        keeper->switchOff(kPort);
    } else if (sequence == "user changes it while on") {
        // GNOME and KDE: the user picks another mode; macOS: Wi-Fi gets the user's own proxy
        // while the other service still points here.
        Calls change = {gset(kGnome, "mode", "'auto'")};
        if (kind.startsWith("kde"))
            change = {kset(kind.mid(3), "ProxyType", "0")};
        else if (kind == "macos")
            change = {nset({"-setwebproxy", "Wi-Fi", "proxy.home.example", "8080"})};
        desktop.run(change);
        expected = desktop.tools.state();
        if (kind == "macos")
            expected = withPart(expected, original, "networksetup/Thunderbolt Bridge/");
        keeper->switchOff(kPort);
    } else if (sequence == "crash, next start") {
        keeper.reset(); // ended without switching off
        SystemProxyKeeper(desktop.proxy.get(), snapshot).recover(kPort);
    } else if (sequence == "crash, connect before recovery") {
        keeper.reset();
        SystemProxyKeeper next(desktop.proxy.get(), snapshot);
        next.switchOn(kPort); // must not record our own values over the user's
        next.switchOff(kPort);
    } else if (sequence == "dialog rewrites ours") {
        desktop.run({kset(kind.mid(3), "httpProxy", "http://127.0.0.1 17890")});
        keeper.reset();
        SystemProxyKeeper(desktop.proxy.get(), snapshot).recover(kPort);
    }
    QCOMPARE(desktop.tools.state(), expected);
    QVERIFY(!QFileInfo::exists(snapshot));

    // Consumed: a later switch-off finds nothing of ours and changes nothing.
    desktop.tools.clearCalls();
    SystemProxyKeeper(desktop.proxy.get(), snapshot).switchOff(kPort);
    QCOMPARE(desktop.tools.calls(), Calls{});
}

void SystemProxyTest::runWithoutConnectRunsNoTool_data() {
    QTest::addColumn<QString>("kind");
    for (const char* kind : {"gnome", "kde5", "macos"})
        QTest::newRow(kind) << QString(kind);
}

void SystemProxyTest::runWithoutConnectRunsNoTool() {
    QFETCH(QString, kind);
    Desktop desktop(kind);
    desktop.run(desktop.settings(kind, "none"));
    const State original = desktop.tools.state();
    QTemporaryDir data;
    const QString snapshot = data.filePath("proxy_snapshot.json");
    desktop.tools.clearCalls();

    SystemProxyKeeper keeper(desktop.proxy.get(), snapshot);
    keeper.recover(kPort); // start-up reads, writes nothing
    for (const QStringList& call : desktop.tools.calls())
        QVERIFY2(!call.contains("set") && !call.first().startsWith("kwriteconfig") &&
                     !call.value(1).startsWith("-set"),
                 qPrintable(call.join(' ')));
    desktop.tools.clearCalls();
    keeper.switchOff(kPort); // TUN mode's connect, disconnect
    keeper.switchOff(kPort); // quit
    QCOMPARE(desktop.tools.calls(), Calls{});
    QCOMPARE(desktop.tools.state(), original);
}

void SystemProxyTest::bypassKeepsUserEntriesWhileOn_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("stateFile");
    QTest::addColumn<QByteArray>("whileOn");
    QTest::newRow("gnome") << "gnome"
                           << "gsettings/org.gnome.system.proxy ignore-hosts"
                           << QByteArray(R"(['localhost', '127.0.0.0/8', '::1', '*.corp.example', )"
                                         R"('o\'brien.example', '127.0.0.1', '*.local'])");
    QTest::newRow("kde") << "kde5"
                         << "kconfig/kioslaverc/Proxy Settings/NoProxyFor"
                         << QByteArray(".corp.example,intranet,127.0.0.1,localhost,.local,"
                                       "127.0.0.0/8,::1");
    QTest::newRow("macos") << "macos"
                           << "networksetup/Wi-Fi/bypass"
                           << QByteArray("*.local\n169.254/16\n127.0.0.1\nlocalhost\n"
                                         "127.0.0.0/8\n::1\n");
    QTest::newRow("macos: automatic proxy off while on")
        << "macos"
        << "networksetup/Wi-Fi/auto.enabled" << QByteArray("No");
}

void SystemProxyTest::bypassKeepsUserEntriesWhileOn() {
    QFETCH(QString, kind);
    QFETCH(QString, stateFile);
    QFETCH(QByteArray, whileOn);
    Desktop desktop(kind);
    desktop.run(desktop.settings(kind, "pac"));
    const QByteArray original = desktop.tools.state().value(stateFile);
    QTemporaryDir data;
    SystemProxyKeeper keeper(desktop.proxy.get(), data.filePath("proxy_snapshot.json"));
    keeper.switchOn(kPort);
    QCOMPARE(desktop.tools.state().value(stateFile), whileOn);
    keeper.switchOff(kPort);
    QCOMPARE(desktop.tools.state().value(stateFile), original);
}

void SystemProxyTest::mergedBypassAddsOursOnce() {
    QCOMPARE(mergedBypass({"a", "localhost"}, {"127.0.0.1", "localhost", "::1"}),
             (QStringList{"a", "localhost", "127.0.0.1", "::1"}));
    QCOMPARE(mergedBypass({}, {"localhost"}), QStringList{"localhost"});
}

QTEST_GUILESS_MAIN(SystemProxyTest)
#include "tst_system_proxy.moc"
