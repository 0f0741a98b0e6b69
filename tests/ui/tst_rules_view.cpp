#include "ManagerTestAccess.h"
#include "UiFixture.h"
#include "ui/CustomRuleList.h"
#include "ui/CustomRulesModel.h"
#include "ui/ElidedLabel.h"
#include "ui/RulesView.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOptionFrame>
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
    void scrollPositionKept();
    void accessibleControls_data();
    void accessibleControls();
    void refusedPatternKeepsInput_data();
    void refusedPatternKeepsInput();
    void placeholderFits_data();
    void placeholderFits();
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

    auto* list = find<CustomRuleList>(view, "rulesList");
    QAbstractItemModel* rows = list->model();
    QCOMPARE(rows->rowCount(), 2);
    QCOMPARE(rows->index(0, 0).data().toString(), QStringLiteral("10.0.0.0/8"));
    QVERIFY(!rows->index(0, 0).data(CustomRulesModel::IsDirectRole).toBool()); // blue "代理"
    QCOMPARE(rows->index(1, 0).data().toString(), longPattern);
    QVERIFY(rows->index(1, 0).data(CustomRulesModel::IsDirectRole).toBool()); // green "直连"
    QCOMPARE(rows->index(1, 0).data(Qt::ToolTipRole).toString(), longPattern);
    // A screen reader hears the badge with the pattern.
    QCOMPARE(rows->index(0, 0).data(Qt::AccessibleTextRole).toString(),
             QStringLiteral("代理 10.0.0.0/8"));

    // The row, with its remove button, stays inside the fixed width.
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(list->removeButtonRect(1).right() < list->viewport()->width());
    QVERIFY(list->removeButtonRect(1).left() > list->viewport()->width() / 2);

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->removeButtonRect(0).center());
    QCOMPARE(fixture.manager->config().customRules.size(), 1);
    QCOMPARE(fixture.manager->config().customRules[0].pattern, longPattern);
    QCOMPARE(fixture.savedConfig()->customRules.size(), 1);

    // Delete on the current row removes it as well.
    list->setFocus();
    list->setCurrentIndex(rows->index(0, 0));
    QTest::keyClick(list, Qt::Key_Delete);
    QVERIFY(fixture.manager->config().customRules.isEmpty());
    QVERIFY(find<ElidedLabel>(view, "rulesEmptyLabel")->isVisibleTo(&view));
}

void RulesViewTest::scrollPositionKept() {
    UiFixture fixture;
    RulesView view(*fixture.manager);
    fixture.edit([](AppConfig& config) {
        for (int i = 0; i < 200; ++i)
            config.customRules.append(
                customRule(QStringLiteral("host%1.example").arg(i), CustomRuleAction::Direct));
    });
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto* list = find<CustomRuleList>(view, "rulesList");
    QScrollBar* scroll = list->verticalScrollBar();
    scroll->setValue(scroll->maximum() / 2);
    const int position = scroll->value();
    QVERIFY(position > 0);

    // The last whole row on screen, made current, is removed: its successor, cut by the bottom
    // edge, becomes current without the list scrolling to it.
    const int viewportHeight = list->viewport()->height();
    int row = list->indexAt(QPoint(10, 1)).row();
    while (list->visualRect(list->model()->index(row + 1, 0)).bottom() < viewportHeight)
        ++row;
    QVERIFY(list->visualRect(list->model()->index(row, 0)).bottom() < viewportHeight);
    list->setCurrentIndex(list->model()->index(row, 0));
    QCOMPARE(scroll->value(), position);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->removeButtonRect(row).center());
    QCoreApplication::processEvents();
    QCOMPARE(fixture.manager->config().customRules.size(), 199);
    QCOMPARE(fixture.manager->config().customRules[row].pattern,
             QStringLiteral("host%1.example").arg(row + 1)); // the clicked row went
    QCOMPARE(scroll->value(), position);
    QTest::mouseClick(find<QCheckBox>(view, "blockQuicCheck"), Qt::LeftButton);
    QCOMPARE(scroll->value(), position);
}

void RulesViewTest::accessibleControls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("appleField");
    QTest::newRow("apple") << "bypassAppleCheck" << true;
    QTest::newRow("quic") << "blockQuicCheck" << false;
}

// Driven only as a screen reader does: the Toggle action of each option, text set into the field.
void RulesViewTest::accessibleControls() {
    QFETCH(QString, name);
    QFETCH(bool, appleField);
    UiFixture fixture;
    RulesView view(*fixture.manager);
    auto field = [&] {
        const AppConfig& config = fixture.manager->config();
        return appleField ? config.bypassAppleCN : config.blockQuic;
    };
    auto* check = view.findChild<QCheckBox*>(name);
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(check);
    const bool before = field();
    for (bool expected : {!before, before}) {
        iface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(field(), expected);
        const std::optional<AppConfig> saved = fixture.savedConfig();
        QVERIFY(saved);
        QCOMPARE(appleField ? saved->bypassAppleCN : saved->blockQuic, expected);
        QCOMPARE(check->isChecked(), expected);
        QCOMPARE(bool(iface->state().checked), expected);
    }

    auto* input = find<QLineEdit>(view, "ruleInput");
    QAccessibleInterface* inputIface = QAccessible::queryAccessibleInterface(input);
    inputIface->setText(QAccessible::Value, QStringLiteral("example.cn"));
    QCOMPARE(fixture.manager->newRuleInput(), QStringLiteral("example.cn"));
    auto* add = find<QPushButton>(view, "addRuleButton");
    QVERIFY(add->isEnabled());
    QAccessible::queryAccessibleInterface(add)->actionInterface()->doAction(
        QAccessibleActionInterface::pressAction());
    QTRY_COMPARE(fixture.manager->config().customRules.size(), 1);
}

void RulesViewTest::refusedPatternKeepsInput_data() {
    QTest::addColumn<QString>("input");
    QTest::newRow("empty label") << "a..b.com";
    QTest::newRow("broken IPv6") << "2001:db8:::1";
    QTest::newRow("hash") << "shop.example#x";
}

void RulesViewTest::refusedPatternKeepsInput() {
    QFETCH(QString, input);
    UiFixture fixture;
    RulesView view(*fixture.manager);
    auto* field = find<QLineEdit>(view, "ruleInput");
    QTest::keyClicks(field, input);
    QTest::mouseClick(find<QPushButton>(view, "addRuleButton"), Qt::LeftButton);
    QVERIFY(fixture.manager->config().customRules.isEmpty());
    QCOMPARE(field->text(), input);
    QCOMPARE(fixture.manager->newRuleInput(), input);
    auto* refusal = find<ElidedLabel>(view, "ruleRefusalLabel");
    QVERIFY(refusal->isVisibleTo(&view));
    QVERIFY2(refusal->text().startsWith(QStringLiteral("规则格式不正确：")),
             qPrintable(refusal->text()));
    QVERIFY(refusal->text().size() > QStringLiteral("规则格式不正确：").size());

    // Correcting the input takes the line away; a valid pattern is added.
    QTest::keyClick(field, Qt::Key_Backspace);
    QVERIFY(!refusal->isVisibleTo(&view));
    field->setText(QStringLiteral("[2001:DB8::1]"));
    QTest::mouseClick(find<QPushButton>(view, "addRuleButton"), Qt::LeftButton);
    QCOMPARE(fixture.manager->config().customRules.size(), 1);
    QCOMPARE(fixture.manager->config().customRules[0].pattern, QStringLiteral("2001:db8::1"));
    QVERIFY(!refusal->isVisibleTo(&view));
}

void RulesViewTest::placeholderFits_data() {
    QTest::addColumn<qreal>("scale");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("1.25x") << 1.25;
}

// The whole placeholder is readable in the field of the fixed-width sheet.
void RulesViewTest::placeholderFits() {
    QFETCH(qreal, scale);
    UiFixture fixture;
    RulesView view(*fixture.manager);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto* field = find<QLineEdit>(view, "ruleInput");
    QVERIFY(field->placeholderText().startsWith(QStringLiteral("输入域名、IP/CIDR（如 ")));
    QVERIFY(field->placeholderText().endsWith(QStringLiteral("、10.0.0.0/8）")));
    // Text laid out at a fractional scale rounds glyph advances up to device pixels.
    QFont font = field->font();
    font.setPixelSize(qRound(QFontInfo(field->font()).pixelSize() * scale));
    const qreal needed =
        QFontMetricsF(font).horizontalAdvance(field->placeholderText()) / scale + 1;
    QStyleOptionFrame option;
    option.initFrom(field);
    option.rect = field->rect();
    option.lineWidth = field->hasFrame() ? field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth,
                                                                       &option, field)
                                         : 0;
    const QRect contents =
        field->style()->subElementRect(QStyle::SE_LineEditContents, &option, field);
    const QMargins margins = field->textMargins();
    const int available = contents.width() - margins.left() - margins.right() - 4;
    QVERIFY2(needed <= available, qPrintable(QStringLiteral("%1 > %2").arg(needed).arg(available)));
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
    MihomoManagerTestAccess::setIsConnected(*fixture.manager, connected);
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
    MihomoManagerTestAccess::setRecentConnections(
        *fixture.manager, {{"www.example.cn", "www.example.cn", rule, chain}});
    QCOMPARE(find<ElidedLabel>(view, "connectionHost")->text(), QStringLiteral("www.example.cn"));
    QCOMPARE(find<ElidedLabel>(view, "connectionDetail")->text(), detail);
}

void RulesViewTest::directButtonAddsHostAsDirectRule() {
    UiFixture fixture;
    RulesView view(*fixture.manager);
    fixture.manager->setNewRuleAction(CustomRuleAction::Proxy);
    MihomoManagerTestAccess::setRecentConnections(
        *fixture.manager, {{"a.example.com", "a.example.com", "Match", "PROXY"},
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
    MihomoManagerTestAccess::setRecentConnections(*fixture.manager,
                                                  {{host, host, "Match", "PROXY\u202E"}});
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
