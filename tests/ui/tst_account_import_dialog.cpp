// The account import of the settings sheet: its dialog's fields, error lines and buttons, driven
// with the keyboard and the way a screen reader does.
#include "UiFixture.h"
#include "ui/AccountImportDialog.h"
#include "ui/ElidedLabel.h"
#include "ui/SettingsView.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

namespace {

const QString kUuid = QStringLiteral("0b7e2c4a-58d1-4f3e-a6c9-7d2e1f0a9b35");
const QString kLink =
    QStringLiteral("vless://0b7e2c4a-58d1-4f3e-a6c9-7d2e1f0a9b35@127.0.0.1:8443?encryption=none"
                   "&flow=xtls-rprx-vision&security=reality&sni=www.example.com&fp=chrome"
                   "&pbk=yMnKy8zNzs_Q0dLT1NXW19jZ2tvc3d7f4OHi4-Tl5uc&sid=6ba8&type=tcp#Alice");

QAccessibleInterface* accessible(QWidget* widget) {
    QAccessibleInterface* interface = QAccessible::queryAccessibleInterface(widget);
    if (!interface)
        qWarning("no accessible interface");
    return interface;
}

// A screen reader sets a field's value, reads a control's state and presses it.
void setValueAccessibly(QWidget* field, const QString& text) {
    accessible(field)->setText(QAccessible::Value, text);
}
bool enabledAccessibly(QWidget* widget) {
    return !accessible(widget)->state().disabled;
}
// Whether the press was offered at all: a disabled button offers none.
bool pressAccessibly(QWidget* button) {
    QAccessibleActionInterface* actions = accessible(button)->actionInterface();
    if (!actions || !actions->actionNames().contains(QAccessibleActionInterface::pressAction()))
        return false;
    actions->doAction(QAccessibleActionInterface::pressAction());
    return true;
}

// The settings sheet's content in a window of its own, as the main window shows it.
struct SheetFixture : UiFixture {
    SheetFixture() {
        edit([](AppConfig& config) {
            // The quota refresh of an import must reach nothing but loopback.
            config.apiBaseURL =
                QStringLiteral("http://127.0.0.1:%1").arg(TestSupport::freeLocalPort());
            config.accountLabel = QStringLiteral("Bob");
            config.deviceToken = QStringLiteral("old-token");
        });
        manager->saveConfig();
        view = new SettingsView(*manager, &window);
        window.show();
    }

    // Presses "导入账号…" and returns the dialog it opens.
    AccountImportDialog* openDialog() {
        auto* button = find<QPushButton>(*view, "importAccountButton");
        if (!button)
            return nullptr;
        if (!pressAccessibly(button))
            return nullptr;
        AccountImportDialog* dialog = nullptr;
        const bool shown = QTest::qWaitFor([&] {
            dialog = window.findChild<AccountImportDialog*>();
            return dialog && dialog->isVisible();
        });
        return shown ? dialog : nullptr;
    }

    QWidget window;
    SettingsView* view = nullptr;
};

} // namespace

class AccountImportDialogTest : public QObject {
    Q_OBJECT

private slots:
    void opensPrefilledFromTheClipboard_data();
    void opensPrefilledFromTheClipboard();
    void importIsEnabledOnlyForAGoodLink_data();
    void importIsEnabledOnlyForAGoodLink();
    void importUpdatesTheSheetAtOnce();
    void cancelAndRefusedInputChangeNothing();
};

void AccountImportDialogTest::opensPrefilledFromTheClipboard_data() {
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("prefilled");
    QTest::newRow("a share link, with the copied line break") << kLink + u'\n' << kLink;
    QTest::newRow("a share link that is refused")
        << QStringLiteral("VLESS://broken") << QStringLiteral("VLESS://broken");
    QTest::newRow("other text") << QStringLiteral("https://example.com") << QString();
}

void AccountImportDialogTest::opensPrefilledFromTheClipboard() {
    QFETCH(QString, clipboard);
    QFETCH(QString, prefilled);
    QGuiApplication::clipboard()->setText(clipboard);
    SheetFixture fixture;
    auto* button = find<QPushButton>(*fixture.view, "importAccountButton");
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("导入账号…"));
    QCOMPARE(accessible(button)->text(QAccessible::Name), QStringLiteral("导入账号…"));
    AccountImportDialog* dialog = fixture.openDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(dialog->parentWidget(), &fixture.window);
    auto* link = find<QLineEdit>(*dialog, "linkField");
    auto* token = find<QLineEdit>(*dialog, "tokenField");
    QCOMPARE(link->text(), prefilled);
    QCOMPARE(token->text(), QString());
    QCOMPARE(accessible(link)->text(QAccessible::Name), QStringLiteral("节点链接"));
    QCOMPARE(accessible(token)->text(QAccessible::Name), QStringLiteral("访问令牌"));
    QCOMPARE(find<QPushButton>(*dialog, "cancelButton")->text(), QStringLiteral("取消"));
    auto* import = find<QPushButton>(*dialog, "importButton");
    QCOMPARE(import->text(), QStringLiteral("导入"));
    QCOMPARE(enabledAccessibly(import), prefilled == kLink);
}

void AccountImportDialogTest::importIsEnabledOnlyForAGoodLink_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("linkError");
    QTest::addColumn<QString>("tokenError");
    QTest::newRow("nothing yet") << QString() << QString() << QString() << QString();
    QTest::newRow("good link, no token") << kLink << QString() << QString() << QString();
    QTest::newRow("good link and token")
        << kLink << QStringLiteral("tok-1") << QString() << QString();
    QTest::newRow("not a share link") << QStringLiteral("https://example.com") << QString()
                                      << QStringLiteral("不是 vless:// 链接") << QString();
    QTest::newRow("TLS node") << QString(kLink).replace(QStringLiteral("=reality"),
                                                        QStringLiteral("=tls"))
                              << QString() << QStringLiteral("仅支持 REALITY 节点") << QString();
    QTest::newRow("short id with 3 digits")
        << QString(kLink).replace(QStringLiteral("sid=6ba8"), QStringLiteral("sid=6ba"))
        << QString() << QStringLiteral("sid（REALITY 短 ID）应为至多 16 位、偶数个十六进制数字")
        << QString();
    QTest::newRow("good link, token with a blank")
        << kLink << QStringLiteral("tok 1") << QString()
        << QStringLiteral("访问令牌中含有空白或控制字符");
}

void AccountImportDialogTest::importIsEnabledOnlyForAGoodLink() {
    QFETCH(QString, link);
    QFETCH(QString, token);
    QFETCH(QString, linkError);
    QFETCH(QString, tokenError);
    QGuiApplication::clipboard()->clear();
    UiFixture fixture;
    QWidget window;
    AccountImportDialog dialog(*fixture.manager, &window);
    window.show();
    dialog.show();
    auto* linkField = find<QLineEdit>(dialog, "linkField");
    auto* tokenField = find<QLineEdit>(dialog, "tokenField");
    auto* linkErrorLine = find<ElidedLabel>(dialog, "linkError");
    auto* tokenErrorLine = find<ElidedLabel>(dialog, "tokenError");
    auto* import = find<QPushButton>(dialog, "importButton");
    QVERIFY(!import->isEnabled()); // an empty link

    const bool enabled = linkError.isEmpty() && tokenError.isEmpty() && !link.isEmpty();
    auto check = [&](const char* how) {
        QVERIFY2(linkErrorLine->text() == linkError, how);
        QVERIFY2(linkErrorLine->isVisible() == !linkError.isEmpty(), how);
        // Without an error a screen reader hears the placeholder, as for any empty field.
        QVERIFY2(accessible(linkField)->text(QAccessible::Description) ==
                     (linkError.isEmpty() ? linkField->placeholderText() : linkError),
                 how);
        QVERIFY2(tokenErrorLine->text() == tokenError, how);
        QVERIFY2(tokenErrorLine->isVisible() == !tokenError.isEmpty(), how);
        QVERIFY2(import->isEnabled() == enabled, how);
        QVERIFY2(enabledAccessibly(import) == enabled, how);
    };

    // Typed key by key, the error line follows every key press.
    QTest::keyClicks(linkField, link);
    QTest::keyClicks(tokenField, token);
    check("typed");

    // Set as a screen reader sets values.
    setValueAccessibly(linkField, QString());
    setValueAccessibly(tokenField, QString());
    QVERIFY(!enabledAccessibly(import));
    setValueAccessibly(linkField, link);
    setValueAccessibly(tokenField, token);
    check("set through the accessibility interface");
}

void AccountImportDialogTest::importUpdatesTheSheetAtOnce() {
    QGuiApplication::clipboard()->setText(kLink);
    SheetFixture fixture;
    auto* accountValue = find<ElidedLabel>(*fixture.view, "accountLabelValue");
    QCOMPARE(accountValue->text(), QStringLiteral("Bob"));
    QPointer<AccountImportDialog> dialog = fixture.openDialog();
    QVERIFY(dialog);
    setValueAccessibly(find<QLineEdit>(*dialog, "tokenField"), QStringLiteral(" new-token\n"));
    QVERIFY(pressAccessibly(find<QPushButton>(*dialog, "importButton")));
    QTRY_VERIFY(!dialog); // accepted and gone

    QCOMPARE(accountValue->text(), QStringLiteral("Alice"));
    const AppConfig& config = fixture.manager->config();
    QCOMPARE(config.uuid, kUuid);
    QCOMPARE(config.serverIP, QStringLiteral("127.0.0.1"));
    QCOMPARE(config.serverPort, qint64(8443));
    QCOMPARE(config.shortId, QStringLiteral("6ba8"));
    QCOMPARE(config.deviceToken, QStringLiteral("new-token"));
    QVERIFY(!fixture.manager->isBusy()); // not connected: nothing starts
    const std::optional<AppConfig> saved = fixture.savedConfig();
    QVERIFY(saved && *saved == config);
}

void AccountImportDialogTest::cancelAndRefusedInputChangeNothing() {
    QGuiApplication::clipboard()->clear();
    SheetFixture fixture;
    const AppConfig before = fixture.manager->config();
    const QByteArray savedBefore = AppConfigCodec::encode(before);
    QPointer<AccountImportDialog> dialog = fixture.openDialog();
    QVERIFY(dialog);
    auto* import = find<QPushButton>(*dialog, "importButton");

    // A refused link: "导入" does nothing, by mouse, by Return or by a screen reader.
    setValueAccessibly(find<QLineEdit>(*dialog, "linkField"),
                       QString(kLink).replace(QStringLiteral(":8443"), QStringLiteral(":70000")));
    QCOMPARE(find<ElidedLabel>(*dialog, "linkError")->text(), QStringLiteral("端口无效"));
    QTest::mouseClick(import, Qt::LeftButton);
    QTest::keyClick(find<QLineEdit>(*dialog, "linkField"), Qt::Key_Return);
    QVERIFY(!pressAccessibly(import));
    QVERIFY(dialog && dialog->isVisible());

    // A good link, then "取消".
    setValueAccessibly(find<QLineEdit>(*dialog, "linkField"), kLink);
    QVERIFY(enabledAccessibly(import));
    QVERIFY(pressAccessibly(find<QPushButton>(*dialog, "cancelButton")));
    QTRY_VERIFY(!dialog);
    QCOMPARE(fixture.manager->config(), before);
    const std::optional<AppConfig> saved = fixture.savedConfig();
    QVERIFY(saved && AppConfigCodec::encode(*saved) == savedBefore);
}

QTEST_MAIN(AccountImportDialogTest)
#include "tst_account_import_dialog.moc"
