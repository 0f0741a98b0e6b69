#include "ManagerTestAccess.h"
#include "UiFixture.h"
#include "monitoring/ByteFormatter.h"
#include "ui/ContentView.h"
#include "ui/ElidedLabel.h"
#include "ui/PlainButton.h"
#include "ui/PowerButton.h"
#include "ui/QuotaBar.h"
#include "ui/SegmentedControl.h"
#include "ui/Sheet.h"
#include "ui/SwitchButton.h"

#include <QAccessible>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using Theme::Tone;

class ContentViewTest : public QObject {
    Q_OBJECT

private slots:
    void powerButtonTogglesConnection();
    void powerButtonIgnoresPressesWhileBusy();
    void latencyText_data();
    void latencyText();
    void quotaCard_data();
    void quotaCard();
    void modeSelectorShowsModeAfterSwitch();
    void tunSwitchShowsSettingAfterToggle_data();
    void tunSwitchShowsSettingAfterToggle();
    void rulesButtonCountsAndOpensSheet();
    void lanButtonText_data();
    void lanButtonText();
    void lanButtonInvertsAndSaves();
    void errorLineTakesNoRoomWhileEmpty();
    void longQuotaErrorElides();
    void sheetsFollowTheirFlagsBothWays();
    void returnInRulesSheetClosesWithoutAdding();
    void accessibleToggles_data();
    void accessibleToggles();
    void errorLineIsHeard();
    void lanTextFollowsAddress();
    void sheetsAttachToWindow_data();
    void sheetsAttachToWindow();
};

namespace {

QAccessibleInterface* accessible(QWidget* widget) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
    if (!iface)
        qWarning("no accessible interface for %s", qPrintable(widget->objectName()));
    return iface;
}

// Does what a screen reader does with a toggle: its Toggle action.
void toggleAccessibly(QWidget* widget) {
    QAccessibleInterface* iface = accessible(widget);
    QVERIFY(iface && iface->actionInterface());
    QVERIFY(iface->actionInterface()->actionNames().contains(
        QAccessibleActionInterface::toggleAction()));
    iface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
}

} // namespace

void ContentViewTest::powerButtonTogglesConnection() {
    UiFixture fixture;
    fixture.edit([](AppConfig& config) { config.tunEnabled = false; });
    ContentView view(*fixture.manager);
    auto* power = find<PowerButton>(view, "powerButton");
    QVERIFY(power && power->isEnabled());
    QSignalSpy busy(fixture.manager.get(), &MihomoManager::isBusyChanged);

    QTest::mouseClick(power, Qt::LeftButton);
    // There is no core in this bundle: the attempt starts, then fails with a message.
    QVERIFY(!busy.isEmpty());
    QTRY_VERIFY(!fixture.manager->errorMessage().isEmpty());
    QTRY_VERIFY(!fixture.manager->isBusy());
    QCOMPARE(find<ElidedLabel>(view, "statusLabel")->text(), QStringLiteral("未连接"));
    QVERIFY(find<ElidedLabel>(view, "errorLabel")->isVisibleTo(&view));
}

void ContentViewTest::powerButtonIgnoresPressesWhileBusy() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    auto* power = find<PowerButton>(view, "powerButton");
    MihomoManagerTestAccess::setIsBusy(*fixture.manager, true);
    QVERIFY(!power->isEnabled());
    QSignalSpy busy(fixture.manager.get(), &MihomoManager::isBusyChanged);
    QSignalSpy status(fixture.manager.get(), &MihomoManager::statusMessageChanged);
    QTest::mouseClick(power, Qt::LeftButton);
    QTest::qWait(50);
    QVERIFY(busy.isEmpty());
    QVERIFY(status.isEmpty());
    MihomoManagerTestAccess::setIsBusy(*fixture.manager, false);
    QVERIFY(power->isEnabled());
}

void ContentViewTest::latencyText_data() {
    QTest::addColumn<bool>("connected");
    QTest::addColumn<OptionalLatency>("latency");
    QTest::addColumn<QString>("text");
    QTest::newRow("connected, none") << true << OptionalLatency() << QStringLiteral("测速");
    QTest::newRow("disconnected, none") << false << OptionalLatency() << QStringLiteral("离线");
    QTest::newRow("85") << true << OptionalLatency(85) << QStringLiteral("85 ms");
    QTest::newRow("kept after disconnect")
        << false << OptionalLatency(1234) << QStringLiteral("1234 ms");
    QTest::newRow("negative") << true << OptionalLatency(-42) << QStringLiteral("—");
    QTest::newRow("longer than the probe waits")
        << true << OptionalLatency(9'223'372'036'854'775'807) << QStringLiteral("—");
}

void ContentViewTest::latencyText() {
    QFETCH(bool, connected);
    QFETCH(OptionalLatency, latency);
    QFETCH(QString, text);
    UiFixture fixture;
    ContentView view(*fixture.manager);
    MihomoManagerTestAccess::setIsConnected(*fixture.manager, connected);
    MihomoManagerTestAccess::setLatencyMs(*fixture.manager, latency);
    auto* pill = find<PlainButton>(view, "latencyPill");
    QCOMPARE(pill->text(), text);
    QCOMPARE(pill->dot()->tone, connected ? Tone::Green : Tone::Gray);
    QCOMPARE(accessible(pill)->text(QAccessible::Name), QStringLiteral("延迟 ") + text);

    // Disconnected, the probe clears the value without a request.
    MihomoManagerTestAccess::setIsConnected(*fixture.manager, false);
    QTest::mouseClick(pill, Qt::LeftButton);
    QCOMPARE(pill->text(), QStringLiteral("离线"));
}

void ContentViewTest::quotaCard_data() {
    QTest::addColumn<std::optional<QuotaInfo>>("quota");
    QTest::addColumn<QString>("quotaError");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<bool>("orange");
    QTest::addColumn<QString>("used");
    QTest::addColumn<QString>("right");
    QTest::addColumn<QString>("reset");

    auto quota = [](qint64 used, qint64 total) {
        QuotaInfo info;
        info.ok = true;
        info.usedBytes = used;
        info.quotaBytes = total;
        info.remainingBytes = qMax<qint64>(0, total - used);
        info.resetDay = 1;
        info.daysRemaining = 12;
        return std::optional<QuotaInfo>(info);
    };
    const auto storage = [](qint64 bytes) { return ByteFormatter::decimalStorage(bytes); };
    const QString reset = QStringLiteral("每月 1 日重置 · 剩 12 天");

    QTest::newRow("absent, loading")
        << std::optional<QuotaInfo>() << QString() << 0.0 << false << QStringLiteral("已用 0 B")
        << QStringLiteral("加载中…") << QString();
    QTest::newRow("absent, error")
        << std::optional<QuotaInfo>() << QStringLiteral("流量查询失败") << 0.0 << false
        << QStringLiteral("已用 0 B") << QStringLiteral("流量查询失败") << QString();
    QTest::newRow("exactly 0.85") << quota(85, 100) << QString() << 0.85 << false
                                  << "已用 " + storage(85) << "剩余 " + storage(15) << reset;
    QTest::newRow("0.86") << quota(86, 100) << QString() << 0.86 << true << "已用 " + storage(86)
                          << "剩余 " + storage(14) << reset;
    QTest::newRow("used above allowance")
        << quota(7'000'000'000'000, 6'000'000'000'000) << QString() << 1.0 << true
        << "已用 " + storage(7'000'000'000'000) << "剩余 " + storage(0) << reset;
    QTest::newRow("quota of 0 bytes") << quota(0, 0) << QStringLiteral("ignored") << 0.0 << false
                                      << "已用 " + storage(0) << "剩余 " + storage(0) << reset;
    // Figures no service sends: negative amounts show as 0, impossible days as "—".
    std::optional<QuotaInfo> absurd = quota(-5, 100);
    absurd->remainingBytes = -7;
    absurd->resetDay = 0;
    absurd->daysRemaining = -2'147'483'649;
    QTest::newRow("absurd figures")
        << absurd << QString() << 0.0 << false << QStringLiteral("已用 0 B")
        << QStringLiteral("剩余 0 B") << QStringLiteral("每月 — 日重置 · 剩 — 天");
    absurd = quota(1, 100);
    absurd->resetDay = 31;
    absurd->daysRemaining = 32;
    QTest::newRow("days past a month")
        << absurd << QString() << 0.01 << false << "已用 " + storage(1) << "剩余 " + storage(99)
        << QStringLiteral("每月 31 日重置 · 剩 — 天");
}

void ContentViewTest::quotaCard() {
    QFETCH(std::optional<QuotaInfo>, quota);
    QFETCH(QString, quotaError);
    QFETCH(double, fraction);
    QFETCH(bool, orange);
    QFETCH(QString, used);
    QFETCH(QString, right);
    QFETCH(QString, reset);
    UiFixture fixture;
    ContentView view(*fixture.manager);
    MihomoManagerTestAccess::setQuotaError(*fixture.manager, quotaError);
    MihomoManagerTestAccess::setQuota(*fixture.manager, quota);

    auto* bar = find<QuotaBar>(view, "quotaBar");
    QCOMPARE(bar->fraction(), fraction);
    QCOMPARE(bar->tint(), orange ? Tone::Orange : Tone::Accent);
    QCOMPARE(find<ElidedLabel>(view, "quotaUsedLabel")->text(), used);
    QCOMPARE(find<ElidedLabel>(view, "quotaRightLabel")->text(), right);
    auto* resetLabel = find<ElidedLabel>(view, "quotaResetLabel");
    QCOMPARE(resetLabel->isVisibleTo(&view), !reset.isEmpty());
    if (!reset.isEmpty())
        QCOMPARE(resetLabel->text(), reset);
}

void ContentViewTest::modeSelectorShowsModeAfterSwitch() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    auto* selector = find<SegmentedControl>(view, "modeSelector");
    QCOMPARE(selector->count(), 2);
    QCOMPARE(selector->segment(0)->text(), QStringLiteral("智能分流"));
    QCOMPARE(selector->segment(1)->text(), QStringLiteral("全局模式"));
    QCOMPARE(selector->currentIndex(), 0);

    QTest::mouseClick(selector->segment(1), Qt::LeftButton);
    QCOMPARE(fixture.manager->config().mode, ProxyMode::Global);
    QCOMPARE(fixture.savedConfig()->mode, ProxyMode::Global);
    QCOMPARE(selector->currentIndex(), 1);

    fixture.edit([](AppConfig& config) { config.mode = ProxyMode::Rule; });
    QCOMPARE(selector->currentIndex(), 0);
}

void ContentViewTest::tunSwitchShowsSettingAfterToggle_data() {
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("after");
    QTest::addColumn<QString>("subtitle");
    QTest::newRow("switching off") << true << false << QStringLiteral("当前为系统代理模式");
    // No administrator authorisation here: the controller keeps TUN off.
    QTest::newRow("switching on, refused")
        << false << false << QStringLiteral("当前为系统代理模式");
}

void ContentViewTest::tunSwitchShowsSettingAfterToggle() {
    QFETCH(bool, before);
    QFETCH(bool, after);
    QFETCH(QString, subtitle);
    UiFixture fixture;
    ContentView view(*fixture.manager);
    fixture.edit([&](AppConfig& config) { config.tunEnabled = before; });
    auto* tunSwitch = find<SwitchButton>(view, "tunSwitch");
    QCOMPARE(tunSwitch->isChecked(), before);
    QCOMPARE(find<ElidedLabel>(view, "tunSubtitleLabel")->text(),
             before ? QStringLiteral("接管全系统与终端流量")
                    : QStringLiteral("当前为系统代理模式"));

    QTest::mouseClick(tunSwitch, Qt::LeftButton);
    QCOMPARE(fixture.manager->config().tunEnabled, after);
    QCOMPARE(tunSwitch->isChecked(), after);
    QCOMPARE(find<ElidedLabel>(view, "tunSubtitleLabel")->text(), subtitle);
}

void ContentViewTest::rulesButtonCountsAndOpensSheet() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    auto* rules = find<PlainButton>(view, "rulesButton");
    QCOMPARE(rules->text(), QStringLiteral("附属规则 (0)"));
    fixture.edit([](AppConfig& config) {
        config.customRules = {customRule(QStringLiteral("a.cn"), CustomRuleAction::Direct),
                              customRule(QStringLiteral("b.com"), CustomRuleAction::Proxy)};
    });
    QCOMPARE(rules->text(), QStringLiteral("附属规则 (2)"));

    // Disconnected, the refresh before opening empties the list.
    MihomoManagerTestAccess::setRecentConnections(*fixture.manager,
                                                  {{"x.com", "x.com", "MATCH", "PROXY"}});
    QTest::mouseClick(rules, Qt::LeftButton);
    QVERIFY(fixture.manager->recentConnections().isEmpty());
    QVERIFY(fixture.manager->showRules());
    auto* sheet = find<Sheet>(view, "rulesSheet");
    QVERIFY(sheet && sheet->isVisible());
    QCOMPARE(sheet->size(), QSize(470, 560));
    QCOMPARE(sheet->windowModality(), Qt::WindowModal);
}

void ContentViewTest::lanButtonText_data() {
    QTest::addColumn<bool>("allowLan");
    QTest::addColumn<QList<InterfaceAddress>>("interfaces");
    QTest::addColumn<QString>("text");
    const QList<InterfaceAddress> lan{UiFixture::ipv4("lo", "127.0.0.1"),
                                      UiFixture::ipv4("en0", "192.168.1.20")};
    const QList<InterfaceAddress> noLan{UiFixture::ipv4("lo", "127.0.0.1"),
                                        UiFixture::ipv4("utun3", "10.8.0.2")};
    QTest::newRow("off") << false << lan << QStringLiteral("局域网共享");
    QTest::newRow("on with address") << true << lan << QStringLiteral("192.168.1.20:17890");
    QTest::newRow("on without address") << true << noLan << QStringLiteral("局域网已开");
}

void ContentViewTest::lanButtonText() {
    QFETCH(bool, allowLan);
    QFETCH(QList<InterfaceAddress>, interfaces);
    QFETCH(QString, text);
    UiFixture fixture;
    fixture.interfaces = interfaces;
    ContentView view(*fixture.manager);
    fixture.edit([&](AppConfig& config) { config.allowLan = allowLan; });
    auto* lan = find<PlainButton>(view, "lanButton");
    QCOMPARE(lan->text(), text);
    QCOMPARE(lan->dot()->tone, allowLan ? Tone::Green : Tone::Gray);
}

void ContentViewTest::lanButtonInvertsAndSaves() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    auto* lan = find<PlainButton>(view, "lanButton");
    QTest::mouseClick(lan, Qt::LeftButton);
    QVERIFY(fixture.manager->config().allowLan);
    QVERIFY(fixture.savedConfig()->allowLan);
    QCOMPARE(lan->text(), QStringLiteral("局域网已开"));
    QTest::mouseClick(lan, Qt::LeftButton);
    QVERIFY(!fixture.savedConfig()->allowLan);
}

void ContentViewTest::errorLineTakesNoRoomWhileEmpty() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto* error = find<ElidedLabel>(view, "errorLabel");
    auto* bottomBar = find<QWidget>(view, "bottomBar");
    const QRect barBefore = bottomBar->geometry();
    QVERIFY(!error->isVisible());

    MihomoManagerTestAccess::setErrorMessage(*fixture.manager, QStringLiteral("内核启动超时"));
    QTRY_VERIFY(error->isVisible());
    QCOMPARE(error->text(), QStringLiteral("内核启动超时"));
    QTRY_COMPARE(error->geometry().top(), bottomBar->geometry().bottom() + 1 + 14);
    QCOMPARE(bottomBar->geometry(), barBefore); // the line sits under the bar, moving nothing

    // A very long message stays within the window.
    MihomoManagerTestAccess::setErrorMessage(*fixture.manager, QString(400, QChar(u'错')));
    QTRY_VERIFY(error->geometry().bottom() < view.height() - 20);
    QVERIFY(!error->toolTip().isEmpty());

    MihomoManagerTestAccess::setErrorMessage(*fixture.manager, QString());
    QVERIFY(!error->isVisible());
}

void ContentViewTest::longQuotaErrorElides() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    const QString error = QStringLiteral("流量查询失败: ") + QString(200, u'x');
    MihomoManagerTestAccess::setQuotaError(*fixture.manager, error);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto* card = find<QWidget>(view, "quotaCard");
    auto* right = find<ElidedLabel>(view, "quotaRightLabel");
    auto* used = find<ElidedLabel>(view, "quotaUsedLabel");
    QCOMPARE(card->width(), view.width() - 40);
    QVERIFY(right->geometry().right() < card->width());
    QCOMPARE(right->toolTip(), error);
    QVERIFY(used->toolTip().isEmpty()); // "已用 0 B" is shown whole
}

void ContentViewTest::sheetsFollowTheirFlagsBothWays() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    view.show();
    QTest::mouseClick(find<PlainButton>(view, "settingsButton"), Qt::LeftButton);
    QVERIFY(fixture.manager->showSettings());
    auto* sheet = find<Sheet>(view, "settingsSheet");
    QVERIFY(sheet && sheet->isVisible());
    QCOMPARE(sheet->size(), QSize(400, 380)); // grown for the auto-connect row

    sheet->reject(); // dismissed by the platform (Escape, closing)
    QVERIFY(!fixture.manager->showSettings());
    fixture.manager->setShowSettings(true);
    QVERIFY(sheet->isVisible());
    fixture.manager->setShowSettings(false);
    QVERIFY(!sheet->isVisible());
}

void ContentViewTest::returnInRulesSheetClosesWithoutAdding() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    view.show();
    fixture.manager->setShowRules(true);
    auto* sheet = find<Sheet>(view, "rulesSheet");
    QVERIFY(QTest::qWaitForWindowExposed(sheet));
    auto* input = find<QLineEdit>(*sheet, "ruleInput");
    input->setFocus();
    QTest::keyClicks(input, QStringLiteral("example.cn"));
    QTest::keyClick(input, Qt::Key_Return);
    // Return is the sheet's "完成": it closes, and adds nothing.
    QVERIFY(!fixture.manager->showRules());
    QVERIFY(!sheet->isVisible());
    QVERIFY(fixture.manager->config().customRules.isEmpty());
    QCOMPARE(fixture.manager->newRuleInput(), QStringLiteral("example.cn"));
}

// Each toggle driven only through its accessibility interface: the controller acts, and the
// drawn state and the reported state both show what the controller holds afterwards.
void ContentViewTest::accessibleToggles_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("role");
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("after");
    QTest::newRow("global mode segment")
        << "global" << int(QAccessible::RadioButton) << false << true;
    QTest::newRow("global mode segment, chosen again")
        << "global" << int(QAccessible::RadioButton) << true << true;
    QTest::newRow("smart routing segment")
        << "rule" << int(QAccessible::RadioButton) << false << true;
    // No administrator authorisation here: switching TUN on is refused and snaps back.
    QTest::newRow("TUN on, refused") << "tunSwitch" << int(QAccessible::CheckBox) << false << false;
    QTest::newRow("TUN off") << "tunSwitch" << int(QAccessible::CheckBox) << true << false;
    QTest::newRow("LAN on") << "lanButton" << int(QAccessible::Button) << false << true;
    QTest::newRow("LAN off") << "lanButton" << int(QAccessible::Button) << true << false;
}

void ContentViewTest::accessibleToggles() {
    QFETCH(QString, control);
    QFETCH(int, role);
    QFETCH(bool, before);
    QFETCH(bool, after);
    UiFixture fixture;
    ContentView view(*fixture.manager);
    auto* selector = find<SegmentedControl>(view, "modeSelector");
    std::function<bool()> held;
    QAbstractButton* button = nullptr;
    if (control == "global" || control == "rule") {
        const ProxyMode mode = control == "global" ? ProxyMode::Global : ProxyMode::Rule;
        const ProxyMode other = control == "global" ? ProxyMode::Rule : ProxyMode::Global;
        fixture.edit([&](AppConfig& config) { config.mode = before ? mode : other; });
        button = selector->segment(control == "global" ? 1 : 0);
        held = [&fixture, mode] { return fixture.manager->config().mode == mode; };
    } else if (control == "tunSwitch") {
        fixture.edit([&](AppConfig& config) { config.tunEnabled = before; });
        button = find<SwitchButton>(view, "tunSwitch");
        held = [&fixture] { return fixture.manager->config().tunEnabled; };
    } else {
        fixture.edit([&](AppConfig& config) { config.allowLan = before; });
        button = find<PlainButton>(view, "lanButton");
        held = [&fixture] { return fixture.manager->config().allowLan; };
    }
    QAccessibleInterface* iface = accessible(button);
    QCOMPARE(int(iface->role()), role);
    QCOMPARE(button->isChecked(), before);
    QCOMPARE(bool(iface->state().checked), before);

    toggleAccessibly(button);
    QCOMPARE(held(), after);
    QCOMPARE(button->isChecked(), after);
    QCOMPARE(bool(iface->state().checked), after);
    // The two segments never both show selected.
    QCOMPARE(selector->segment(0)->isChecked(), fixture.manager->config().mode == ProxyMode::Rule);
    QCOMPARE(selector->segment(1)->isChecked(),
             fixture.manager->config().mode == ProxyMode::Global);
}

void ContentViewTest::errorLineIsHeard() {
    UiFixture fixture;
    ContentView view(*fixture.manager);
    MihomoManagerTestAccess::setErrorMessage(*fixture.manager, QStringLiteral("内核启动超时"));
    auto* error = find<ElidedLabel>(view, "errorLabel");
    QCOMPARE(accessible(error)->text(QAccessible::Name), QStringLiteral("内核启动超时"));
    MihomoManagerTestAccess::setUpSpeed(*fixture.manager, 2048);
    QCOMPARE(accessible(find<ElidedLabel>(view, "upSpeedLabel"))->text(QAccessible::Name),
             QStringLiteral("上传 ") + ByteFormatter::speed(2048));
}

void ContentViewTest::lanTextFollowsAddress() {
    UiFixture fixture;
    fixture.interfaces = {UiFixture::ipv4("en0", "192.168.1.20")};
    ContentView view(*fixture.manager);
    fixture.edit([](AppConfig& config) { config.allowLan = true; });
    auto* lan = find<PlainButton>(view, "lanButton");
    QCOMPARE(lan->text(), QStringLiteral("192.168.1.20:17890"));

    // The network changes while connected: the next traffic sample shows the new address.
    fixture.interfaces = {UiFixture::ipv4("en0", "10.1.2.3")};
    MihomoManagerTestAccess::setDownSpeed(*fixture.manager, 1000);
    QCOMPARE(lan->text(), QStringLiteral("10.1.2.3:17890"));
    QCOMPARE(accessible(lan)->text(QAccessible::Name), QStringLiteral("10.1.2.3:17890"));
    // Without traffic, the periodic re-read does it.
    fixture.interfaces = {UiFixture::ipv4("en1", "10.9.9.9")};
    auto* refresh = view.findChild<QTimer*>(QStringLiteral("lanAddressRefresh"));
    QVERIFY(refresh && refresh->isActive());
    QMetaObject::invokeMethod(refresh, "timeout");
    QCOMPARE(lan->text(), QStringLiteral("10.9.9.9:17890"));
    fixture.edit([](AppConfig& config) { config.allowLan = false; });
    QVERIFY(!refresh->isActive());
}

void ContentViewTest::sheetsAttachToWindow_data() {
    QTest::addColumn<QString>("sheetName");
    QTest::addColumn<QSize>("size");
    QTest::newRow("rules") << "rulesSheet" << QSize(470, 560);
    QTest::newRow("settings") << "settingsSheet" << QSize(400, 380);
}

void ContentViewTest::sheetsAttachToWindow() {
    QFETCH(QString, sheetName);
    QFETCH(QSize, size);
    UiFixture fixture;
    ContentView view(*fixture.manager);
    view.move(300, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    if (sheetName == "rulesSheet")
        fixture.manager->setShowRules(true);
    else
        fixture.manager->setShowSettings(true);
    auto* sheet = view.findChild<Sheet*>(sheetName);
    QVERIFY(sheet);
    QVERIFY(QTest::qWaitForWindowExposed(sheet));
    auto attached = [&] {
        const QRect window = view.geometry();
        return QPoint(window.left() + (window.width() - size.width()) / 2, window.top());
    };
    QCOMPARE(sheet->size(), size);
    QCOMPARE(sheet->pos(), attached());
    QCOMPARE(sheet->windowModality(), Qt::WindowModal);
    const Qt::WindowFlags flags = sheet->windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::FramelessWindowHint);

    // The sheet moves with its window.
    view.move(120, 80);
    QTRY_COMPARE(sheet->pos(), attached());
}

QTEST_MAIN(ContentViewTest)
#include "tst_content_view.moc"
