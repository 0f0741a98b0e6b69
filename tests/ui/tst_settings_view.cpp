#include "UiFixture.h"
#include "ui/ElidedLabel.h"
#include "ui/SettingsView.h"
#include "ui/SwitchButton.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QFile>
#include <QPushButton>
#include <QTest>

class SettingsViewTest : public QObject {
    Q_OBJECT

private slots:
    void rowsShowAccountDeviceAndServer_data();
    void rowsShowAccountDeviceAndServer();
    void launchAtLoginShowsOutcome_data();
    void launchAtLoginShowsOutcome();
    void launchAtLoginThroughAccessibility_data();
    void launchAtLoginThroughAccessibility();
    void doneSavesAndCloses();
    void autoConnectRowSavesAtOnce();
};

void SettingsViewTest::rowsShowAccountDeviceAndServer_data() {
    QTest::addColumn<QString>("accountLabel");
    QTest::addColumn<QString>("shownAccount");
    QTest::newRow("label") << QStringLiteral("张三的电脑") << QStringLiteral("张三的电脑");
    QTest::newRow("no label") << QString() << QStringLiteral("未设置");
}

void SettingsViewTest::rowsShowAccountDeviceAndServer() {
    QFETCH(QString, accountLabel);
    QFETCH(QString, shownAccount);
    UiFixture fixture;
    SettingsView view(*fixture.manager);
    fixture.edit([&](AppConfig& config) {
        config.accountLabel = accountLabel;
        config.apiBaseURL = QStringLiteral("https://auth.example.com/");
    });
    QCOMPARE(find<ElidedLabel>(view, "accountLabelValue")->text(), shownAccount);
    QCOMPARE(find<ElidedLabel>(view, "deviceNameValue")->text(), QStringLiteral("测试电脑"));
    QCOMPARE(find<ElidedLabel>(view, "apiBaseUrlValue")->text(),
             fixture.manager->config().resolvedApiBaseURL());

    // Each value is heard with its row's title.
    auto heard = [&](const char* name) {
        return QAccessible::queryAccessibleInterface(find<ElidedLabel>(view, name))
            ->text(QAccessible::Name);
    };
    QCOMPARE(heard("accountLabelValue"), QStringLiteral("使用人备注: ") + shownAccount);
    QCOMPARE(heard("deviceNameValue"), QStringLiteral("当前设备: 测试电脑"));
    QCOMPARE(heard("apiBaseUrlValue"),
             QStringLiteral("鉴权服务器: ") + fixture.manager->config().resolvedApiBaseURL());
}

void SettingsViewTest::launchAtLoginShowsOutcome_data() {
    QTest::addColumn<bool>("writable");
    QTest::newRow("written") << true;
    QTest::newRow("cannot be written") << false;
}

void SettingsViewTest::launchAtLoginShowsOutcome() {
    QFETCH(bool, writable);
    UiFixture fixture;
    fixture.loginItem->writable = writable;
    SettingsView view(*fixture.manager);
    auto* toggle = find<SwitchButton>(view, "launchAtLoginSwitch");
    QVERIFY(!toggle->isChecked());
    QTest::mouseClick(toggle, Qt::LeftButton);
    QCOMPARE(fixture.loginItem->registered, writable);
    QCOMPARE(fixture.manager->launchAtLogin(), writable);
    QCOMPARE(toggle->isChecked(), writable);
}

void SettingsViewTest::launchAtLoginThroughAccessibility_data() {
    launchAtLoginShowsOutcome_data();
}

// A screen reader's Toggle reaches the login item; a refused write snaps the switch back.
void SettingsViewTest::launchAtLoginThroughAccessibility() {
    QFETCH(bool, writable);
    UiFixture fixture;
    fixture.loginItem->writable = writable;
    SettingsView view(*fixture.manager);
    auto* toggle = find<SwitchButton>(view, "launchAtLoginSwitch");
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(toggle);
    QCOMPARE(iface->role(), QAccessible::CheckBox);
    QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("开机自动启动"));
    iface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    QCOMPARE(fixture.loginItem->registered, writable);
    QCOMPARE(fixture.manager->launchAtLogin(), writable);
    QCOMPARE(toggle->isChecked(), writable);
    QCOMPARE(bool(iface->state().checked), writable);
}

void SettingsViewTest::doneSavesAndCloses() {
    UiFixture fixture;
    SettingsView view(*fixture.manager);
    QFile::remove(fixture.manager->configFilePath());
    fixture.manager->setShowSettings(true);
    auto* done = find<QPushButton>(view, "doneButton");
    QCOMPARE(done->text(), QStringLiteral("完成"));
    QVERIFY(done->isDefault());
    QTest::mouseClick(done, Qt::LeftButton);
    QVERIFY(!fixture.manager->showSettings());
    const std::optional<AppConfig> saved = fixture.savedConfig(); // written although unchanged
    QVERIFY(saved && *saved == fixture.manager->config());
}

void SettingsViewTest::autoConnectRowSavesAtOnce() {
    UiFixture fixture;
    SettingsView view(*fixture.manager);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto* toggle = find<SwitchButton>(view, "autoConnectSwitch");
    auto* launchAtLogin = find<SwitchButton>(view, "launchAtLoginSwitch");
    QVERIFY(toggle && launchAtLogin);
    QVERIFY(!toggle->isChecked());
    // Its row lies below "开机自动启动" and inside the sheet, which grew to hold it.
    const QRect row(toggle->mapTo(&view, QPoint(0, 0)), toggle->size());
    QVERIFY(row.top() > launchAtLogin->mapTo(&view, QPoint(0, 0)).y());
    QVERIFY(view.rect().contains(row));
    // Nothing below it is squeezed out: the import button and "完成" follow, whole.
    auto* form = find<QWidget>(view, "settingsForm");
    auto* import = find<QPushButton>(view, "importAccountButton");
    auto* done = find<QPushButton>(view, "doneButton");
    QVERIFY(form && import && done);
    QVERIFY(import->geometry().top() >= form->geometry().bottom());
    QVERIFY(done->geometry().top() >= import->geometry().bottom());
    QVERIFY(view.rect().contains(done->geometry()));
    QCOMPARE(import->height(), import->sizeHint().height());

    // Turned on the way a screen reader does it; saved without "完成".
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(toggle);
    QVERIFY(accessible && accessible->actionInterface());
    QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("启动后自动连接"));
    accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QTRY_VERIFY(fixture.manager->config().autoConnect); // an animated click
    QVERIFY(toggle->isChecked());
    std::optional<AppConfig> saved = fixture.savedConfig();
    QVERIFY(saved && saved->autoConnect);

    QTest::mouseClick(toggle, Qt::LeftButton);
    QVERIFY(!fixture.manager->config().autoConnect);
    saved = fixture.savedConfig();
    QVERIFY(saved && !saved->autoConnect);
}

QTEST_MAIN(SettingsViewTest)
#include "tst_settings_view.moc"
