#include "UiFixture.h"
#include "ui/Badge.h"
#include "ui/ElidedLabel.h"
#include "ui/PlainButton.h"
#include "ui/RulesView.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>

using Theme::Tone;

class RulesViewTest : public QObject {
    Q_OBJECT

private slots:
    void addButtonEnablement_data();
    void addButtonEnablement();
    void addHandsOverInputAndKeepsAction();
    void returnInFieldAddsNothing();
    void ruleRowsWithBadges();
    void emptyStates_data();
    void emptyStates();
    void connectionDetail_data();
    void connectionDetail();
    void directButtonAddsHostAsDirectRule();
    void hiddenCharactersShownButNameKept_data();
    void hiddenCharactersShownButNameKept();
    void optionsWriteSettingAndSave_data();
    void optionsWriteSettingAndSave();
};

void RulesViewTest::addButtonEnablement_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("spaces") << QStringLiteral("   ") << false;
    QTest::newRow("line breaks and tabs") << QStringLiteral(" \n\t\r\n ") << false;
    QTest::newRow("word with spaces") << QStringLiteral("  example.cn  ") << true;
}

void RulesViewTest::addButtonEnablement() {
    QFETCH(QString, input);
    QFETCH(bool, enabled);
    UiFixture fixture;
    RulesView view(*fixture.manager);
    fixture.manager->setNewRuleInput(input);
    QCOMPARE(find<QPushButton>(view, "addRuleButton")->isEnabled(), enabled);
}

void RulesViewTest::addHandsOverInputAndKeepsAction() {
    UiFixture fixture;
    RulesView view(*fixture.manager);
    auto* input = find<QLineEdit>(view, "ruleInput");
    auto* action = find<QComboBox>(view, "ruleActionSelector");
    QCOMPARE(action->count(), 2);
    QCOMPARE(action->itemText(0), QStringLiteral("直连"));
    QCOMPARE(action->itemText(1), QStringLiteral("代理"));

    QTest::keyClicks(input, QStringLiteral("  Example.COM/path  "));
    QCOMPARE(fixture.manager->newRuleInput(), QStringLiteral("  Example.COM/path  "));
    action->setCurrentIndex(1);
    emit action->activated(1);
    QCOMPARE(fixture.manager->newRuleAction(), CustomRuleAction::Proxy);

    QTest::mouseClick(find<QPushButton>(view, "addRuleButton"), Qt::LeftButton);
    // The text went over as typed; the controller normalised it.
    const QList<CustomRule> rules = fixture.manager->config().customRules;
    QCOMPARE(rules.size(), 1);
    QCOMPARE(rules[0].pattern, QStringLiteral("example.com"));
    QCOMPARE(rules[0].action, CustomRuleAction::Proxy);
    QCOMPARE(fixture.manager->newRuleInput(), QString());
    QCOMPARE(input->text(), QString());
    QCOMPARE(fixture.manager->newRuleAction(), CustomRuleAction::Proxy);
    QCOMPARE(action->currentIndex(), 1);
    QVERIFY(!find<QPushButton>(view, "addRuleButton")->isEnabled());
}

void RulesViewTest::returnInFieldAddsNothing() {
    UiFixture fixture;
    RulesView view(*fixture.manager);
    auto* input = find<QLineEdit>(view, "ruleInput");
    QTest::keyClicks(input, QStringLiteral("example.cn"));
    QTest::keyClick(input, Qt::Key_Return);
    QTest::keyClick(input, Qt::Key_Enter);
    QVERIFY(fixture.manager->config().customRules.isEmpty());
    QCOMPARE(fixture.manager->newRuleInput(), QStringLiteral("example.cn"));
}

void RulesViewTest::ruleRowsWithBadges() {
    UiFixture fixture;
    RulesView view(*fixture.manager);
    const QString longPattern = QStringLiteral("a-very-long-subdomain-name.") + QString(80, u'x') +
                                QStringLiteral(".example.com");
    fixture.edit([&](AppConfig& config) {
        config.customRules = {customRule(QStringLiteral("10.0.0.0/8"), CustomRuleAction::Proxy),
                              customRule(longPattern, CustomRuleAction::Direct)};
    });
    QCOMPARE(find<ElidedLabel>(view, "rulesHeading")->text(), QStringLiteral("自定义规则 (2)"));

    auto* list = find<QScrollArea>(view, "rulesList");
    const QList<Badge*> badges = list->widget()->findChildren<Badge*>();
    const QList<ElidedLabel*> patterns =
        list->widget()->findChildren<ElidedLabel*>(QStringLiteral("rulePattern"));
    QCOMPARE(badges.size(), 2);
    QCOMPARE(badges[0]->text(), QStringLiteral("代理"));
    QCOMPARE(badges[0]->fill(), (Theme::Paint{Tone::Blue, 0.18}));
    QCOMPARE(badges[1]->text(), QStringLiteral("直连"));
    QCOMPARE(badges[1]->fill(), (Theme::Paint{Tone::Green, 0.18}));
    QCOMPARE(patterns[0]->text(), QStringLiteral("10.0.0.0/8"));
    QCOMPARE(patterns[1]->text(), longPattern);

    // A long pattern elides inside the fixed width.
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(patterns[1]->width() < view.width());
    QCOMPARE(patterns[1]->toolTip(), longPattern);

    auto* remove =
        list->widget()->findChildren<PlainButton*>(QStringLiteral("removeRuleButton"))[0];
    QCOMPARE(remove->toolTip(), QStringLiteral("删除规则"));
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(fixture.manager->config().customRules.size(), 1);
    QCOMPARE(fixture.manager->config().customRules[0].pattern, longPattern);
    QCOMPARE(fixture.savedConfig()->customRules.size(), 1);
}

void RulesViewTest::emptyStates_data() {
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("text");
    QTest::newRow("connected") << true << QStringLiteral("暂无活跃连接");
    QTest::newRow("disconnected") << false << QStringLiteral("连接后可查看实时域名并一键设为直连");
}

void RulesViewTest::emptyStates() {
    QFETCH(bool, connected);
    QFETCH(QString, text);
    UiFixture fixture;
    RulesView view(*fixture.manager);
    fixture.manager->setIsConnected(connected);
    QCOMPARE(find<ElidedLabel>(view, "connectionsEmptyLabel")->text(), text);
    QCOMPARE(find<ElidedLabel>(view, "rulesHeading")->text(), QStringLiteral("自定义规则 (0)"));
    QCOMPARE(find<ElidedLabel>(view, "rulesEmptyLabel")->text(),
             QStringLiteral("暂无自定义规则；若有国内网站开 TUN 后打不开，填在上方设为直连即可。"));
}

void RulesViewTest::connectionDetail_data() {
    QTest::addColumn<QString>("chain");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("detail");
    QTest::newRow("both") << "PROXY"
                          << "DomainSuffix"
                          << "PROXY · DomainSuffix";
    QTest::newRow("no chain") << ""
                              << "Match"
                              << " · Match";
    QTest::newRow("no rule") << "DIRECT"
                             << ""
                             << "DIRECT · ";
}

void RulesViewTest::connectionDetail() {
    QFETCH(QString, chain);
    QFETCH(QString, rule);
    QFETCH(QString, detail);
    UiFixture fixture;
    RulesView view(*fixture.manager);
    fixture.manager->setRecentConnections({{"www.example.cn", "www.example.cn", rule, chain}});
    QCOMPARE(find<ElidedLabel>(view, "connectionHost")->text(), QStringLiteral("www.example.cn"));
    QCOMPARE(find<ElidedLabel>(view, "connectionDetail")->text(), detail);
}

void RulesViewTest::directButtonAddsHostAsDirectRule() {
    UiFixture fixture;
    RulesView view(*fixture.manager);
    fixture.manager->setNewRuleAction(CustomRuleAction::Proxy);
    fixture.manager->setRecentConnections({{"a.example.com", "a.example.com", "Match", "PROXY"},
                                           {"b.example.com", "b.example.com", "Match", "PROXY"}});
    auto* list = find<QScrollArea>(view, "connectionsList");
    const auto buttons = list->widget()->findChildren<QPushButton*>(QStringLiteral("directButton"));
    QCOMPARE(buttons.size(), 2);
    QCOMPARE(buttons[1]->text(), QStringLiteral("设为直连"));
    QTest::mouseClick(buttons[1], Qt::LeftButton);

    const QList<CustomRule> rules = fixture.manager->config().customRules;
    QCOMPARE(rules.size(), 1);
    QCOMPARE(rules[0].pattern, QStringLiteral("b.example.com"));
    QCOMPARE(rules[0].action, CustomRuleAction::Direct);
    QCOMPARE(fixture.manager->recentConnections().size(), 2); // the row stays
}

// A host name from the core with characters that reorder or hide text is shown with them
// written out, so it cannot pass for another domain; "设为直连" adds the name as received.
void RulesViewTest::hiddenCharactersShownButNameKept_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << QStringLiteral("www.example.cn") << QStringLiteral("www.example.cn");
    QTest::newRow("right-to-left override")
        << QStringLiteral("evil\u202Emoc.elpmaxe") << QStringLiteral("evil<U+202E>moc.elpmaxe");
    QTest::newRow("isolate and mark")
        << QStringLiteral("a\u2067b\u200Fc.com") << QStringLiteral("a<U+2067>b<U+200F>c.com");
    QTest::newRow("zero-width space")
        << QStringLiteral("pay\u200Bpal.com") << QStringLiteral("pay<U+200B>pal.com");
    QTest::newRow("line break") << QStringLiteral("a.com\nb.com")
                                << QStringLiteral("a.com<U+000A>b.com");
}

void RulesViewTest::hiddenCharactersShownButNameKept() {
    QFETCH(QString, host);
    QFETCH(QString, shown);
    UiFixture fixture;
    RulesView view(*fixture.manager);
    fixture.manager->setRecentConnections({{host, host, "Match", "PROXY\u202E"}});
    QCOMPARE(find<ElidedLabel>(view, "connectionHost")->text(), shown);
    QCOMPARE(find<ElidedLabel>(view, "connectionDetail")->text(),
             QStringLiteral("PROXY<U+202E> · Match"));
    auto* button = find<QPushButton>(view, "directButton");
    QCOMPARE(button->accessibleName(), QStringLiteral("设为直连 ") + shown);

    // Pressed the way a screen reader does.
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
    QVERIFY(accessible && accessible->actionInterface());
    accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    UiFixture reference;
    reference.manager->addCustomRule(host, CustomRuleAction::Direct);
    const auto patterns = [](const MihomoManager& manager) {
        QStringList result;
        for (const CustomRule& rule : manager.config().customRules)
            result << rule.pattern + QStringLiteral(" ") + rawValue(rule.action);
        return result;
    };
    QTRY_COMPARE(patterns(*fixture.manager), patterns(*reference.manager)); // an animated click
    if (host == QLatin1String("www.example.cn"))
        QCOMPARE(patterns(*fixture.manager), QStringList{QStringLiteral("www.example.cn DIRECT")});
}

void RulesViewTest::optionsWriteSettingAndSave_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("appleField");
    QTest::newRow("apple") << "bypassAppleCheck"
                           << "Apple 中国与本地鉴权域名直连" << true;
    QTest::newRow("quic") << "blockQuicCheck"
                          << "屏蔽 QUIC (UDP 443) 避免部分网站卡顿" << false;
}

void RulesViewTest::optionsWriteSettingAndSave() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(bool, appleField);
    UiFixture fixture;
    RulesView view(*fixture.manager);
    auto field = [&](const AppConfig& config) {
        return appleField ? config.bypassAppleCN : config.blockQuic;
    };
    auto* check = view.findChild<QCheckBox*>(name);
    QVERIFY(check);
    QCOMPARE(check->text(), text);
    const bool before = field(fixture.manager->config());
    QCOMPARE(check->isChecked(), before);

    QTest::mouseClick(check, Qt::LeftButton);
    QCOMPARE(field(fixture.manager->config()), !before);
    QCOMPARE(field(*fixture.savedConfig()), !before);
    QCOMPARE(check->isChecked(), !before);
}

QTEST_MAIN(RulesViewTest)
#include "tst_rules_view.moc"
