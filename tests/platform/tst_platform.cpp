#include "FakeTools.h"
#include "TestSupport.h"

#include "platform/AdminAuthorizer.h"
#include "platform/AppPaths.h"
#include "platform/DeviceName.h"
#include "platform/ListeningSockets.h"
#include "platform/LoginItem.h"
#include "platform/MachineIdentity.h"
#include "platform/NetworkInterfaces.h"
#include "platform/PlatformServices.h"
#include "platform/SystemProxy.h"
#include "platform/ToolProcess.h"
#include "platform/linux/LinuxDesktopProxy.h"
#include "platform/linux/LinuxMachineIdentity.h"
#include "platform/linux/PkexecAuthorizer.h"
#include "platform/linux/ProcNetListeningSockets.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "platform/macos/AppleScriptAuthorizer.h"
#include "platform/macos/IoregMachineIdentity.h"
#include "platform/macos/LaunchAgentLoginItem.h"
#include "platform/macos/NetworkSetupProxy.h"
#include "platform/macos/OsascriptNotifier.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <memory>

#include <csignal>

#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using Calls = QList<QStringList>;
Q_DECLARE_METATYPE(std::optional<int>)
Q_DECLARE_METATYPE(TunAuthorization)
using Answers = QList<QPair<QStringList, QByteArray>>;
Q_DECLARE_METATYPE(InterfaceAddress)

namespace {
const QByteArray kListing = "An asterisk (*) denotes that a network service is disabled.\n"
                            "Wi-Fi\n*Bluetooth PAN\nThunderbolt Bridge\n";

Calls commandsOn(const QString& service) {
    return {{"networksetup", "-setwebproxy", service, "127.0.0.1", "17890"},
            {"networksetup", "-setsecurewebproxy", service, "127.0.0.1", "17890"},
            {"networksetup", "-setsocksfirewallproxy", service, "127.0.0.1", "17890"},
            {"networksetup", "-setproxybypassdomains", service, "127.0.0.1", "localhost", "*.local",
             "127.0.0.0/8", "::1"}};
}

Calls commandsOff(const QString& service) {
    return {{"networksetup", "-setwebproxystate", service, "off"},
            {"networksetup", "-setsecurewebproxystate", service, "off"},
            {"networksetup", "-setsocksfirewallproxystate", service, "off"}};
}

const Calls kListingCall = {{"networksetup", "-listallnetworkservices"}};

Calls gnomeOn() {
    Calls calls;
    for (const QString kind : {"http", "https", "socks"}) {
        calls.append({"gsettings", "set", "org.gnome.system.proxy." + kind, "host", "'127.0.0.1'"});
        calls.append({"gsettings", "set", "org.gnome.system.proxy." + kind, "port", "17890"});
    }
    calls.append({"gsettings", "set", "org.gnome.system.proxy", "ignore-hosts",
                  "['127.0.0.1', 'localhost', '*.local', '127.0.0.0/8', '::1']"});
    calls.append({"gsettings", "set", "org.gnome.system.proxy", "mode", "'manual'"});
    return calls;
}

const Calls kGnomeOff = {{"gsettings", "set", "org.gnome.system.proxy", "mode", "'none'"}};

QStringList kdeKey(const QString& tool, const QString& key) {
    return {tool, "--file", "kioslaverc", "--group", "Proxy Settings", "--key", key};
}

Calls kdeOn(const QString& tool) {
    return {kdeKey(tool, "httpProxy") << "http://127.0.0.1:17890",
            kdeKey(tool, "httpsProxy") << "http://127.0.0.1:17890",
            kdeKey(tool, "socksProxy") << "socks://127.0.0.1:17890",
            kdeKey(tool, "NoProxyFor") << "127.0.0.1,localhost,.local,127.0.0.0/8,::1",
            kdeKey(tool, "ReversedException") << "false",
            kdeKey(tool, "ProxyType") << "1"};
}

Calls kdeOff(const QString& tool) {
    return {kdeKey(tool, "ProxyType") << "0"};
}

// Points every store at the port with nothing kept, or switches every store off.
void switchStores(const SystemProxy& proxy, bool on) {
    for (const auto& store : proxy.stores()) {
        if (on)
            store->switchOn(17890, {});
        else
            store->switchOff();
    }
}

} // namespace

class PlatformTest : public QObject {
    Q_OBJECT

private slots:
    // --- macOS system proxy through networksetup ---
    void listsEnabledServices_data();
    void listsEnabledServices();
    void networkSetupCommands_data();
    void networkSetupCommands();
    void networkSetupPointsAt_data();
    void networkSetupPointsAt();

    // --- Linux desktop proxy stores ---
    void desktopStoreCommands_data();
    void desktopStoreCommands();
    void desktopStorePointsAt_data();
    void desktopStorePointsAt();
    void hungToolsAreKilled_data();
    void hungToolsAreKilled();

    // --- administrator authorisation ---
    void appleScriptEscapesPath();
    void appleScriptOutcome_data();
    void appleScriptOutcome();
    void osascriptNotification();
    void pkexecAuthorizes_data();
    void pkexecAuthorizes();
    void pkexecOutcome_data();
    void pkexecOutcome();

    // --- login items ---
    void launchAgentText();
    void autostartExec_data();
    void autostartExec();
    void loginItemOnOffTwice_data();
    void loginItemOnOffTwice();
    void unwritableFolderLeavesItOff_data();
    void unwritableFolderLeavesItOff();

    // --- identity, addresses, names, paths ---
    void linuxMachineIdentity();
    void ioregMachineIdentity_data();
    void ioregMachineIdentity();
    void firstLanIPv4_data();
    void firstLanIPv4();
    void systemInterfacesListLoopback();
    void deviceNameFromMachineInfo_data();
    void deviceNameFromMachineInfo();
    void deviceNameFromScutil();
    void bundleLayouts();
    void dataFolderForCurrentUser();
    void servicesForThisHost();

    // --- owners of listening sockets ---
    void listenerTable_data();
    void listenerTable();
    void listenersOfThisUser_data();
    void listenersOfThisUser();
};

// ---------------------------------------------------------------------------------------------

void PlatformTest::listsEnabledServices_data() {
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QStringList>("services");
    QTest::newRow("header, enabled and disabled")
        << kListing << QStringList{"Wi-Fi", "Thunderbolt Bridge"};
    QTest::newRow("blanks kept, empty lines dropped")
        << QByteArray("An asterisk\n\n USB LAN \n") << QStringList{" USB LAN "};
    QTest::newRow("only disabled") << QByteArray("An asterisk\n*Wi-Fi\n") << QStringList{};
    QTest::newRow("not UTF-8") << QByteArray("Wi-Fi\n\xff\xfe\n") << QStringList{};
}

void PlatformTest::listsEnabledServices() {
    QFETCH(QByteArray, listing);
    QFETCH(QStringList, services);
    FakeTools tools;
    NetworkSetupProxy proxy(tools.add("networksetup"));
    tools.answer("networksetup", {"-listallnetworkservices"}, listing);
    QCOMPARE(proxy.activeNetworkServices(), services);
}

void PlatformTest::networkSetupCommands_data() {
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("runs");
    QTest::addColumn<Calls>("expected");
    QTest::newRow("on, two services")
        << kListing << true << 1
        << kListingCall + commandsOn("Wi-Fi") + commandsOn("Thunderbolt Bridge");
    QTest::newRow("off twice") << kListing << false << 2
                               << kListingCall + commandsOff("Wi-Fi") +
                                      commandsOff("Thunderbolt Bridge") + kListingCall +
                                      commandsOff("Wi-Fi") + commandsOff("Thunderbolt Bridge");
    QTest::newRow("no enabled service")
        << QByteArray("An asterisk\n*Wi-Fi\n") << true << 1 << kListingCall;
    QTest::newRow("listing fails") << QByteArray() << true << 1 << kListingCall;
}

void PlatformTest::networkSetupCommands() {
    QFETCH(QByteArray, listing);
    QFETCH(bool, enabled);
    QFETCH(int, runs);
    QFETCH(Calls, expected);
    FakeTools tools;
    NetworkSetupProxy proxy(tools.add("networksetup", listing.isEmpty() ? 1 : 0));
    tools.answer("networksetup", {"-listallnetworkservices"}, listing);
    for (int i = 0; i < runs; ++i)
        switchStores(proxy, enabled);
    QCOMPARE(tools.calls(), expected);

    // A tool that cannot be started runs nothing and does not fail.
    NetworkSetupProxy missing(tools.folder() + "/no-such-tool");
    switchStores(missing, true);
    QVERIFY(missing.stores().empty());
}

void PlatformTest::networkSetupPointsAt_data() {
    QTest::addColumn<QByteArray>("webProxy");
    QTest::addColumn<bool>("pointsAt");
    QTest::newRow("ours") << QByteArray("Enabled: Yes\nServer: 127.0.0.1\nPort: 17890\n"
                                        "Authenticated Proxy Enabled: 0\n")
                          << true;
    QTest::newRow("off") << QByteArray("Enabled: No\nServer: 127.0.0.1\nPort: 17890\n") << false;
    QTest::newRow("user's own proxy")
        << QByteArray("Enabled: Yes\nServer: 10.0.0.1\nPort: 17890\n") << false;
    QTest::newRow("other port") << QByteArray("Enabled: Yes\nServer: 127.0.0.1\nPort: 8080\n")
                                << false;
}

void PlatformTest::networkSetupPointsAt() {
    QFETCH(QByteArray, webProxy);
    QFETCH(bool, pointsAt);
    FakeTools tools;
    NetworkSetupProxy proxy(tools.add("networksetup"));
    tools.answer("networksetup", {"-listallnetworkservices"}, kListing);
    tools.answer("networksetup", {"-getwebproxy", "Thunderbolt Bridge"}, webProxy);
    QCOMPARE(proxy.pointsAt(17890), pointsAt);
}

// ---------------------------------------------------------------------------------------------

void PlatformTest::desktopStoreCommands_data() {
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<Calls>("on");
    QTest::addColumn<Calls>("off");
    QTest::newRow("GNOME") << QStringList{"gsettings"} << gnomeOn() << kGnomeOff;
    QTest::newRow("KDE 5") << QStringList{"kreadconfig5", "kwriteconfig5"} << kdeOn("kwriteconfig5")
                           << kdeOff("kwriteconfig5");
    QTest::newRow("KDE 6 preferred")
        << QStringList{"kreadconfig5", "kwriteconfig5", "kreadconfig6", "kwriteconfig6"}
        << kdeOn("kwriteconfig6") << kdeOff("kwriteconfig6");
    QTest::newRow("KDE that cannot be read is left alone")
        << QStringList{"kwriteconfig5"} << Calls{} << Calls{};
    QTest::newRow("both") << QStringList{"gsettings", "kreadconfig5", "kwriteconfig5"}
                          << gnomeOn() + kdeOn("kwriteconfig5")
                          << kGnomeOff + kdeOff("kwriteconfig5");
    const Calls reparse = {{"dbus-send", "--type=signal", "/KIO/Scheduler",
                            "org.kde.KIO.Scheduler.reparseSlaveConfiguration", "string:"}};
    QTest::newRow("KDE told to reread")
        << QStringList{"kreadconfig5", "kwriteconfig5", "dbus-send"}
        << kdeOn("kwriteconfig5") + reparse << kdeOff("kwriteconfig5") + reparse;
    QTest::newRow("none") << QStringList{"dbus-send"} << Calls{} << Calls{};
}

void PlatformTest::desktopStoreCommands() {
    QFETCH(QStringList, present);
    QFETCH(Calls, on);
    QFETCH(Calls, off);
    FakeTools tools;
    for (const QString& tool : present)
        tools.add(tool);
    // An empty folder first in the search path, as a missing tool must simply be skipped.
    QTemporaryDir empty;
    LinuxDesktopProxy proxy({empty.path(), tools.folder()});

    switchStores(proxy, true);
    QCOMPARE(tools.calls(), on);
    tools.clearCalls();
    switchStores(proxy, false);
    switchStores(proxy, false);
    QCOMPARE(tools.calls(), off + off);
}

void PlatformTest::desktopStorePointsAt_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<Calls>("settings"); // run on stateful fakes first
    QTest::addColumn<bool>("pointsAt");
    const QString gnome = "org.gnome.system.proxy";
    const Calls ours = {{"gsettings", "set", gnome + ".http", "host", "'127.0.0.1'"},
                        {"gsettings", "set", gnome + ".http", "port", "17890"}};
    QTest::newRow("GNOME manual, ours")
        << "gnome" << ours + Calls{{"gsettings", "set", gnome, "mode", "'manual'"}} << true;
    QTest::newRow("GNOME off") << "gnome"
                               << ours + Calls{{"gsettings", "set", gnome, "mode", "'none'"}}
                               << false;
    const auto kde = [](const QString& key, const QString& value) {
        return kdeKey("kwriteconfig5", key) << value;
    };
    QTest::newRow("KDE manual, ours")
        << "kde" << Calls{kde("ProxyType", "1"), kde("httpProxy", "http://127.0.0.1:17890")}
        << true;
    QTest::newRow("KDE manual, ours as KDE's dialog writes it")
        << "kde" << Calls{kde("ProxyType", "1"), kde("httpProxy", "http://127.0.0.1 17890")}
        << true;
    QTest::newRow("KDE manual, other port")
        << "kde" << Calls{kde("ProxyType", "1"), kde("httpProxy", "http://127.0.0.1 8080")}
        << false;
    QTest::newRow("KDE manual, user's own")
        << "kde" << Calls{kde("ProxyType", "1"), kde("httpProxy", "http://proxy.example:3128")}
        << false;
    QTest::newRow("KDE PAC") << "kde"
                             << Calls{kde("ProxyType", "2"),
                                      kde("httpProxy", "http://127.0.0.1:17890")}
                             << false;
    QTest::newRow("no tool") << QString() << Calls{} << false;
}

void PlatformTest::desktopStorePointsAt() {
    QFETCH(QString, kind);
    QFETCH(Calls, settings);
    QFETCH(bool, pointsAt);
    FakeTools tools;
    if (kind == "gnome")
        tools.addGsettings();
    else if (kind == "kde")
        tools.addKdeConfig("5");
    for (const QStringList& call : settings)
        tools.run(call.first(), call.mid(1));
    LinuxDesktopProxy proxy({tools.folder()});
    QCOMPARE(proxy.pointsAt(17890), pointsAt);
}

// A tool that never returns (a wedged session bus) and a helper it started: both are killed when
// the call's time is up, and the caller carries on with every other call.
void PlatformTest::hungToolsAreKilled_data() {
    QTest::addColumn<QString>("tool");
    QTest::newRow("gsettings") << "gsettings";
    QTest::newRow("kwriteconfig5") << "kwriteconfig5";
    QTest::newRow("kreadconfig5") << "kreadconfig5";
    QTest::newRow("networksetup") << "networksetup";
}

void PlatformTest::hungToolsAreKilled() {
    QFETCH(QString, tool);
    FakeTools tools;
    const QString helperPids = tools.folder() + "/helper.pids";
    tools.add(tool, 0,
              QStringLiteral("sleep 1000 &\necho $! >> '%1'\nexec sleep 1000").arg(helperPids));
    // KDE's settings are handled only with both tools of one version: the other one answers.
    if (tool == "kwriteconfig5")
        tools.add("kreadconfig5", 0, QString());
    else if (tool == "kreadconfig5")
        tools.add("kwriteconfig5", 0, QString());
    const auto saved = ToolProcess::timeout();
    ToolProcess::setTimeout(std::chrono::milliseconds(200));
    if (tool == "networksetup") {
        NetworkSetupProxy proxy(tools.folder() + "/networksetup");
        switchStores(proxy, true);
        QVERIFY(!proxy.pointsAt(17890));
    } else {
        LinuxDesktopProxy proxy({tools.folder()});
        switchStores(proxy, true);
        QVERIFY(!proxy.pointsAt(17890));
    }
    ToolProcess::setTimeout(saved);
    QVERIFY(!tools.calls().isEmpty());
    QFile pids(helperPids);
    QVERIFY(pids.open(QIODevice::ReadOnly));
    const QList<QByteArray> started = pids.readAll().split('\n');
    for (const QByteArray& pid : started) {
        if (pid.isEmpty())
            continue;
        // Gone, or a zombie waiting for init to reap it (a SIGKILL takes a moment to land).
        const auto ended = [&pid] {
            QFile stat("/proc/" + QString::fromLatin1(pid) + "/stat");
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        };
        QTRY_VERIFY2(ended(), pid.constData());
    }
    QCOMPARE(ToolProcess::timeout(), std::chrono::milliseconds(5000));
}

// ---------------------------------------------------------------------------------------------

void PlatformTest::appleScriptEscapesPath() {
    // The shell words are escaped first, then the whole command for the AppleScript string.
    const QString folder = "/Apps/it's \"x\"\\y/";
    // '/Apps/it'\''s "x"\y/ as a shell word, inside an AppleScript string.
    const QString word = "'/Apps/it'\\\\''s \\\"x\\\"\\\\y/";
    QCOMPARE(AppleScriptAuthorizer::scriptFor(folder + "vantrel-helper", folder + "vantrel-core"),
             "do shell script \"chown root:wheel " + word + "vantrel-core' && chmod go-w " + word +
                 "vantrel-core' && chown root:wheel " + word + "vantrel-helper' && chmod 4755 " +
                 word + "vantrel-helper'\" with administrator privileges");
}

void PlatformTest::appleScriptOutcome_data() {
    QTest::addColumn<std::optional<int>>("exitStatus");
    QTest::addColumn<TunAuthorization>("outcome");
    QTest::newRow("confirmed") << std::optional<int>(0) << TunAuthorization::Granted;
    QTest::newRow("cancelled") << std::optional<int>(1) << TunAuthorization::Refused;
    QTest::newRow("crashed") << std::optional<int>() << TunAuthorization::Refused;
}

void PlatformTest::appleScriptOutcome() {
    QFETCH(std::optional<int>, exitStatus);
    QFETCH(TunAuthorization, outcome);
    FakeTools tools;
    const BundleLayout bundle = BundleLayout::macLayout("/A b.app/Contents/MacOS/VantrelVPN");
    AppleScriptAuthorizer authorizer(tools.add("osascript"));
    const auto command = std::get<AuthorizationCommand>(authorizer.command(bundle));
    QCOMPARE(command.program, tools.folder() + "/osascript");
    QCOMPARE(command.arguments, (QStringList{"-e", AppleScriptAuthorizer::scriptFor(
                                                       bundle.helperBinary, bundle.coreBinary)}));
    QCOMPARE(authorizer.outcome(exitStatus), outcome);
    QCOMPARE(std::get<TunAuthorization>(
                 AppleScriptAuthorizer(tools.folder() + "/missing").command(bundle)),
             TunAuthorization::ToolMissing);
}

void PlatformTest::osascriptNotification() {
    QCOMPARE(OsascriptNotifier::scriptFor("Miravo VPN", "a \"b\" \\ c\nd"),
             R"(display notification "a \"b\" \\ c d" with title "Miravo VPN")");
    FakeTools tools;
    OsascriptNotifier notifier(tools.add("osascript"));
    notifier.notify("Miravo VPN", "已重新连接");
    // Started without waiting for it.
    const Calls expected = {
        {"osascript", "-e", OsascriptNotifier::scriptFor("Miravo VPN", "已重新连接")}};
    QTRY_COMPARE(tools.calls(), expected);
}

void PlatformTest::pkexecAuthorizes_data() {
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<bool>("commandReady"); // otherwise the early outcome below
    QTest::addColumn<TunAuthorization>("early");
    QTest::newRow("installed bundle") << "none" << true << TunAuthorization::Granted;
    QTest::newRow("folder above writable by others")
        << "folder 0777" << false << TunAuthorization::DevelopmentBuild;
    QTest::newRow("core owned by nobody")
        << "core nobody" << false << TunAuthorization::DevelopmentBuild;
    QTest::newRow("script missing") << "no script" << false << TunAuthorization::DevelopmentBuild;
    QTest::newRow("launcher is a link")
        << "launcher link" << false << TunAuthorization::DevelopmentBuild;
    QTest::newRow("pkexec missing") << "no pkexec" << false << TunAuthorization::ToolMissing;
}

void PlatformTest::pkexecAuthorizes() {
    QFETCH(QString, setUp);
    QFETCH(bool, commandReady);
    QFETCH(TunAuthorization, early);
    if (geteuid() != 0)
        QSKIP("an installed bundle is root's: needs root");
    // Below the build tree, which is root's alone like an installation.
    QTemporaryDir root(TestSupport::installedBase() + "/vantrel-platform-XXXXXX");
    QVERIFY(::chmod(QFile::encodeName(root.path()).constData(), 0755) == 0);
    const BundleLayout bundle = BundleLayout::linuxLayout(root.path() + "/bin/vantrel-vpn");
    TestSupport::writeScript(bundle.coreBinary, "#!/bin/sh\n");
    TestSupport::writeScript(PkexecAuthorizer::scriptPath(bundle), "#!/bin/sh\n");
    TestSupport::writeScript(bundle.helperBinary, "#!/bin/sh\n");
    const QByteArray top = QFile::encodeName(root.path());
    if (setUp == "folder 0777")
        QCOMPARE(::chmod(top.constData(), 0777), 0);
    if (setUp == "core nobody")
        QCOMPARE(::chown(QFile::encodeName(bundle.coreBinary).constData(), 65534, 65534), 0);
    if (setUp == "no script")
        QVERIFY(QFile::remove(PkexecAuthorizer::scriptPath(bundle)));
    if (setUp == "launcher link") {
        QVERIFY(QFile::rename(bundle.helperBinary, bundle.helperBinary + "-real"));
        QVERIFY(QFile::link(bundle.helperBinary + "-real", bundle.helperBinary));
    }
    FakeTools tools;
    const QString pkexec = setUp == "no pkexec" ? tools.folder() + "/pkexec" : tools.add("pkexec");
    const PkexecAuthorizer authorizer(pkexec);
    QCOMPARE(PkexecAuthorizer::isInstalledBundle(bundle),
             commandReady || early == TunAuthorization::ToolMissing);

    const auto command = authorizer.command(bundle);
    if (!commandReady) {
        QCOMPARE(std::get<TunAuthorization>(command), early);
        return;
    }
    // pkexec runs the installed script and nothing else: no path or shell text of ours.
    const auto& run = std::get<AuthorizationCommand>(command);
    QCOMPARE(run.program, pkexec);
    QCOMPARE(run.arguments, QStringList{root.path() + "/libexec/vantrel-vpn/vantrel-authorize"});
}

void PlatformTest::pkexecOutcome_data() {
    QTest::addColumn<std::optional<int>>("exitStatus");
    QTest::addColumn<TunAuthorization>("outcome");
    QTest::newRow("authorised") << std::optional<int>(0) << TunAuthorization::Granted;
    QTest::newRow("dialog dismissed") << std::optional<int>(126) << TunAuthorization::Refused;
    QTest::newRow("not authorised") << std::optional<int>(127) << TunAuthorization::Refused;
    QTest::newRow("script failed") << std::optional<int>(1) << TunAuthorization::Refused;
    QTest::newRow("launcher not a regular file")
        << std::optional<int>(4) << TunAuthorization::Refused;
    QTest::newRow("not an installed bundle")
        << std::optional<int>(3) << TunAuthorization::DevelopmentBuild;
    QTest::newRow("crashed") << std::optional<int>() << TunAuthorization::Refused;
}

void PlatformTest::pkexecOutcome() {
    QFETCH(std::optional<int>, exitStatus);
    QFETCH(TunAuthorization, outcome);
    QCOMPARE(PkexecAuthorizer().outcome(exitStatus), outcome);
}

// ---------------------------------------------------------------------------------------------

void PlatformTest::launchAgentText() {
    const QStringList lines =
        LaunchAgentLoginItem::agentText(
            R"(/Applications/Tom & "Jerry's" <VPN>.app/Contents/MacOS/VantrelVPN)")
            .split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 15);
    QCOMPARE(lines[1], R"(<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" )"
                       R"("http://www.apple.com/DTDs/PropertyList-1.0.dtd">)");
    QCOMPARE(lines[8], "        <string>/Applications/Tom &amp; &quot;Jerry&apos;s&quot; "
                       "&lt;VPN&gt;.app/Contents/MacOS/VantrelVPN</string>");
    QCOMPARE(lines[9], "        <string>--hidden</string>");
    QCOMPARE(lines[14], "</plist>"); // and no line feed after it
}

void PlatformTest::autostartExec_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("exec");
    QTest::newRow("blanks") << "/opt/Miravo VPN/bin/vantrel-vpn"
                            << R"("/opt/Miravo VPN/bin/vantrel-vpn")";
    QTest::newRow("ampersand and percent") << "/opt/a&b/100%/vpn"
                                           << R"("/opt/a&b/100%%/vpn")";
    QTest::newRow("quotes and dollar") << R"(/opt/"it's"/$HOME/vpn)"
                                       << R"("/opt/\\"it's\\"/\\$HOME/vpn")";
    QTest::newRow("backslash and backtick") << R"(/opt/a\b/`x`/vpn)"
                                            << R"("/opt/a\\\\b/\\`x\\`/vpn")";
}

void PlatformTest::autostartExec() {
    QFETCH(QString, path);
    QFETCH(QString, exec);
    QCOMPARE(XdgAutostartLoginItem::entryText(path), "[Desktop Entry]\n"
                                                     "Type=Application\n"
                                                     "Name=Miravo VPN\n"
                                                     "Exec=" +
                                                         exec +
                                                         " --hidden\n"
                                                         "X-GNOME-Autostart-enabled=true\n");
}

namespace {
// Login items live under the test's home folder, on the same file system as its trash.
std::unique_ptr<FileLoginItem> loginItem(const QString& kind, const QString& base) {
    if (kind == "launch agent")
        return std::make_unique<LaunchAgentLoginItem>(base);
    return std::make_unique<XdgAutostartLoginItem>(base + "/.config");
}

int trashedCopies(const QString& fileName) {
    const QString trash =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Trash/files";
    int count = 0;
    for (QDirIterator it(trash, QDir::Files); it.hasNext();)
        count += QFileInfo(it.next()).fileName().startsWith(fileName) ? 1 : 0;
    return count;
}
} // namespace

void PlatformTest::loginItemOnOffTwice_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("launch agent") << "launch agent";
    QTest::newRow("XDG autostart") << "XDG autostart";
}

void PlatformTest::loginItemOnOffTwice() {
    QFETCH(QString, kind);
    QTemporaryDir home(QDir::homePath() + "/login-XXXXXX");
    const auto item = loginItem(kind, home.path());
    const QString executable = home.path() + "/Miravo VPN & Co/vantrel-vpn";
    const QString fileName = QFileInfo(item->filePath()).fileName();
    // The trash lies in the data folder, which a fresh test home lacks.
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    const int trashedBefore = trashedCopies(fileName);

    QVERIFY(!item->isRegistered());
    for (int i = 0; i < 2; ++i) {
        item->setRegistered(true, executable);
        QVERIFY(item->isRegistered());
        QFile file(item->filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(file.readAll()).contains("Miravo VPN &"));
    }
    for (int i = 0; i < 2; ++i) {
        item->setRegistered(false, executable);
        QVERIFY(!item->isRegistered());
    }
    QCOMPARE(trashedCopies(fileName), trashedBefore + 1); // moved, not deleted
}

void PlatformTest::unwritableFolderLeavesItOff_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("readOnlyFolder"); // else a file stands where the folder belongs
    QTest::newRow("launch agent, read-only") << "launch agent" << true;
    QTest::newRow("XDG autostart, read-only") << "XDG autostart" << true;
    QTest::newRow("launch agent, blocked") << "launch agent" << false;
    QTest::newRow("XDG autostart, blocked") << "XDG autostart" << false;
}

void PlatformTest::unwritableFolderLeavesItOff() {
    QFETCH(QString, kind);
    QFETCH(bool, readOnlyFolder);
    if (readOnlyFolder && geteuid() == 0)
        QSKIP("root writes into read-only folders");
    QTemporaryDir home(QDir::homePath() + "/login-XXXXXX");
    const auto item = loginItem(kind, home.path());
    const QString folder = QFileInfo(item->filePath()).absolutePath();
    if (readOnlyFolder) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(folder).absolutePath()));
        QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
    }
    item->setRegistered(true, "/opt/vantrel/bin/vantrel-vpn");
    QVERIFY(!item->isRegistered());
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// ---------------------------------------------------------------------------------------------

void PlatformTest::linuxMachineIdentity() {
    QTemporaryDir dir;
    const auto identityOf = [&](const QByteArray& content) {
        const QString path = dir.filePath("machine-id");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString("unwritable");
        file.write(content);
        file.close();
        return LinuxMachineIdentity(path).platformId();
    };
    const QByteArray machineId = "4c4c4544003957108052b4c04f384833";
    const QString id = identityOf(machineId + "\n");
    QVERIFY2(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                "[0-9A-F]{12}$")
                 .match(id)
                 .hasMatch(),
             qPrintable(id));
    QVERIFY(!QString(id).remove('-').contains(QString::fromLatin1(machineId), Qt::CaseInsensitive));
    QCOMPARE(identityOf(machineId + "\n"), identityOf(machineId)); // stable, trimmed
    QVERIFY(identityOf("0123456789abcdef0123456789abcdef") != identityOf(machineId));
    QCOMPARE(identityOf(" \n"), QString());
    QCOMPARE(LinuxMachineIdentity(dir.filePath("missing")).platformId(), QString());
}

void PlatformTest::ioregMachineIdentity_data() {
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QString>("uuid");
    QTest::newRow("listed")
        << QByteArray("+-o J314sAP  <class IOPlatformExpertDevice>\n"
                      "    {\n"
                      "      \"IOPlatformSerialNumber\" = \"C02XYZ\"\n"
                      "      \"IOPlatformUUID\" = \"8A0C5E2B-1F3D-4B6A-9C7E-2D4F6A8B0C1E\"\n"
                      "    }\n")
        << "8A0C5E2B-1F3D-4B6A-9C7E-2D4F6A8B0C1E";
    QTest::newRow("absent") << QByteArray("+-o Root\n") << QString();
}

void PlatformTest::ioregMachineIdentity() {
    QFETCH(QByteArray, listing);
    QFETCH(QString, uuid);
    FakeTools tools;
    IoregMachineIdentity identity(tools.add("ioreg"));
    tools.answer("ioreg", {"-rd1", "-c", "IOPlatformExpertDevice"}, listing);
    QCOMPARE(identity.platformId(), uuid);
}

void PlatformTest::firstLanIPv4_data() {
    QTest::addColumn<QList<InterfaceAddress>>("addresses");
    QTest::addColumn<QStringList>("prefixes");
    QTest::addColumn<QString>("expected"); // empty: none
    const unsigned upRunning = IFF_UP | IFF_RUNNING;
    const InterfaceAddress lo{"lo0", upRunning | IFF_LOOPBACK, AF_INET, "127.0.0.1"};
    const InterfaceAddress en0v6{"en0", upRunning, AF_INET6, "fe80::1%en0"};
    const InterfaceAddress en0NoAddress{"en0", upRunning, AF_INET, ""};
    const InterfaceAddress en1{"en1", upRunning, AF_INET, "192.168.1.20"};
    const InterfaceAddress en1Down{"en1", IFF_UP, AF_INET, "192.168.1.20"};
    const QStringList onMac{"en"}, onLinux{"en", "eth", "wl"};
    QTest::newRow("en1") << QList{lo, en0v6, en1} << onMac << "192.168.1.20";
    QTest::newRow("en1 down") << QList{lo, en0v6, en1Down} << onMac << "";
    QTest::newRow("entry without address") << QList{en0NoAddress, en1} << onMac << "192.168.1.20";
    QTest::newRow("eth0 on Linux")
        << QList{lo, InterfaceAddress{"eth0", upRunning, AF_INET, "10.0.0.7"}} << onLinux
        << "10.0.0.7";
    QTest::newRow("wlan0 on Linux")
        << QList{lo, InterfaceAddress{"wlan0", upRunning, AF_INET, "10.0.0.8"}} << onLinux
        << "10.0.0.8";
    QTest::newRow("wlan0 not on macOS")
        << QList{InterfaceAddress{"wlan0", upRunning, AF_INET, "10.0.0.8"}} << onMac << "";
}

void PlatformTest::firstLanIPv4() {
    QFETCH(QList<InterfaceAddress>, addresses);
    QFETCH(QStringList, prefixes);
    QFETCH(QString, expected);
    QCOMPARE(::firstLanIPv4(addresses, prefixes).value_or(QString()), expected);
}

void PlatformTest::systemInterfacesListLoopback() {
    const QList<InterfaceAddress> addresses = systemInterfaceAddresses();
    QVERIFY(std::any_of(addresses.begin(), addresses.end(), [](const InterfaceAddress& entry) {
        return entry.family == AF_INET && entry.address == "127.0.0.1" &&
               (entry.flags & IFF_LOOPBACK);
    }));
}

void PlatformTest::deviceNameFromMachineInfo_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");
    QTest::newRow("quoted") << QByteArray(
                                   "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's \\\"Book\\\"\"\n")
                            << R"(Anna's "Book")";
    QTest::newRow("plain, padded") << QByteArray("PRETTY_HOSTNAME= Anna \n") << "Anna";
    QTest::newRow("none") << QByteArray("CHASSIS=laptop\n") << "";
}

void PlatformTest::deviceNameFromMachineInfo() {
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    QTemporaryDir dir;
    QFile file(dir.filePath("machine-info"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QCOMPARE(DeviceName::fromMachineInfo(file.fileName()), name);
    QCOMPARE(DeviceName::orHostName(name),
             name.isEmpty() ? QSysInfo::machineHostName().trimmed() : name);
}

void PlatformTest::deviceNameFromScutil() {
    FakeTools tools;
    const QString scutil = tools.add("scutil");
    tools.answer("scutil", {"--get", "ComputerName"}, "  Anna’s MacBook Pro\n");
    QCOMPARE(DeviceName::fromScutil(scutil), QString("Anna’s MacBook Pro"));
    QCOMPARE(DeviceName::fromScutil(tools.folder() + "/missing"), QString());
}

void PlatformTest::bundleLayouts() {
    const BundleLayout linuxLayout = BundleLayout::linuxLayout("/opt/vantrel/bin/vantrel-vpn");
    QCOMPARE(linuxLayout.executable, "/opt/vantrel/bin/vantrel-vpn");
    QCOMPARE(linuxLayout.coreBinary, "/opt/vantrel/libexec/vantrel-vpn/vantrel-core");
    QCOMPARE(linuxLayout.helperBinary, "/opt/vantrel/libexec/vantrel-vpn/vantrel-helper");
    QCOMPARE(linuxLayout.resource("geoip.metadb"), "/opt/vantrel/share/vantrel-vpn/geoip.metadb");

    const QString contents = "/Applications/Miravo VPN.app/Contents";
    const BundleLayout macLayout = BundleLayout::macLayout(contents + "/MacOS/VantrelVPN");
    QCOMPARE(macLayout.coreBinary, contents + "/MacOS/vantrel-core");
    QCOMPARE(macLayout.helperBinary, contents + "/MacOS/vantrel-helper");
    QCOMPARE(macLayout.resource("default_config.json"),
             contents + "/Resources/default_config.json");
}

void PlatformTest::dataFolderForCurrentUser() {
    const AppPaths paths = AppPaths::forCurrentUser();
    QCOMPARE(paths.dataDir, qEnvironmentVariable("XDG_DATA_HOME") + "/VantrelVPN");
    QCOMPARE(paths.homeDir, QDir::homePath());
    QCOMPARE(paths.configFile(), paths.dataDir + "/app_config.json");
    QCOMPARE(paths.deviceIdFile(), paths.dataDir + "/device_id");
}

void PlatformTest::servicesForThisHost() {
    const PlatformServices services = PlatformServices::forHost(QDir::homePath());
    QVERIFY(services.systemProxy && services.adminAuthorizer && services.machineIdentity);
    QVERIFY(services.interfaces && services.deviceName && services.listeningSockets);
    QVERIFY(!services.deviceName().isEmpty());
    QCOMPARE(services.lanInterfacePrefixes, lanInterfacePrefixes());
    QCOMPARE(services.pkillPath, "/usr/bin/pkill");
    const auto* item = dynamic_cast<const FileLoginItem*>(services.loginItem.get());
    QVERIFY(item);
    QCOMPARE(item->filePath(),
             qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/com.vantrel.vpn.desktop");
}

void PlatformTest::listenerTable_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QList<uid_t>>("owners"); // of port 17890 (hex 45E2)
    const QByteArray rest = " 00000000:00000000 00:00000000 00000000  1000        0 4242";
    QTest::newRow("127.0.0.1, listening")
        << "   0: 0100007F:45E2 00000000:0000 0A" + rest << QList<uid_t>{1000};
    QTest::newRow("any IPv4 address")
        << "   0: 00000000:45E2 00000000:0000 0A" + rest << QList<uid_t>{1000};
    QTest::newRow("127.0.0.2 is not reached through 127.0.0.1")
        << "   0: 0200007F:45E2 00000000:0000 0A" + rest << QList<uid_t>{};
    QTest::newRow("another port") << "   0: 0100007F:45E3 00000000:0000 0A" + rest
                                  << QList<uid_t>{};
    QTest::newRow("a connection, not a listener")
        << "   0: 0100007F:45E2 0100007F:D431 01" + rest << QList<uid_t>{};
    QTest::newRow("any IPv6 address") << "   0: 00000000000000000000000000000000:45E2 "
                                         "00000000000000000000000000000000:0000 0A" +
                                             rest
                                      << QList<uid_t>{1000};
    QTest::newRow("::ffff:127.0.0.1") << "   0: 0000000000000000FFFF00000100007F:45E2 "
                                         "00000000000000000000000000000000:0000 0A" +
                                             rest
                                      << QList<uid_t>{1000};
    QTest::newRow("::1 is not reached through 127.0.0.1")
        << "   0: 00000000000000000000000001000000:45E2 "
           "00000000000000000000000000000000:0000 0A" +
               rest
        << QList<uid_t>{};
    QTest::newRow("garbage") << QByteArray("   0: zz:45E2 x 0A a b c 1000") << QList<uid_t>{};
}

void PlatformTest::listenerTable() {
    QFETCH(QByteArray, line);
    QFETCH(QList<uid_t>, owners);
    if (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
        QSKIP("the table's sample addresses are written in little-endian word order");
    const QByteArray heading = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                               "retrnsmt   uid  timeout inode\n";
    QCOMPARE(ProcNetListeningSockets::parseTable(heading + line + '\n', 17890), owners);
}

void PlatformTest::listenersOfThisUser_data() {
    QTest::addColumn<QHostAddress>("address");
    QTest::newRow("127.0.0.1") << QHostAddress(QHostAddress::LocalHost);
    QTest::newRow("any address, both families") << QHostAddress(QHostAddress::Any);
}

void PlatformTest::listenersOfThisUser() {
    QFETCH(QHostAddress, address);
    QTcpServer server;
    QVERIFY(server.listen(address, 0));
    const ProcNetListeningSockets sockets;
    const quint16 port = server.serverPort();
    QCOMPARE(sockets.loopbackListenerOwners(port).value_or(QList<uid_t>{}),
             QList<uid_t>{::getuid()});
    server.close();
    QCOMPARE(sockets.loopbackListenerOwners(port).value_or(QList<uid_t>{42}), QList<uid_t>{});
    // Without the tables the owners are unknown, not "none".
    QVERIFY(!ProcNetListeningSockets(QStringLiteral("/nonexistent")).loopbackListenerOwners(port));
}

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
