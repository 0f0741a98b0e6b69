// Renders the views at twice their size into PNG files for the documentation:
//   ui_screenshots [output folder]   (default: <source>/docs/screenshots)
#include "ManagerTestAccess.h"
#include "UiFixture.h"
#include "ui/ContentView.h"
#include "ui/RulesView.h"
#include "ui/SettingsView.h"
#include "ui/Sheet.h"

#include <QApplication>
#include <QDir>
#include <QPalette>
#include <QStyleFactory>

namespace {

bool save(QWidget& widget, const QString& folder, const QString& name) {
    widget.show();
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(name);
    const bool ok = widget.grab().save(path);
    qInfo("%s %s", ok ? "wrote" : "FAILED", qPrintable(path));
    widget.hide();
    return ok;
}

QPalette darkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2d));
    palette.setColor(QPalette::WindowText, QColor(0xf2, 0xf2, 0xf7));
    palette.setColor(QPalette::Base, QColor(0x3a, 0x3a, 0x3c));
    palette.setColor(QPalette::AlternateBase, QColor(0x32, 0x32, 0x34));
    palette.setColor(QPalette::Text, QColor(0xf2, 0xf2, 0xf7));
    palette.setColor(QPalette::Button, QColor(0x48, 0x48, 0x4a));
    palette.setColor(QPalette::ButtonText, QColor(0xf2, 0xf2, 0xf7));
    palette.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, QColor(0x98, 0x98, 0x9d));
    return palette;
}

// A view as it appears: inside its sheet, with the sheet's edge.
bool saveSheet(QWidget* view, const QString& folder, const QString& name) {
    Sheet sheet(view->size(), QString(), nullptr);
    sheet.setContent(view);
    return save(sheet, folder, name);
}

void connectedState(UiFixture& fixture) {
    MihomoManager& manager = *fixture.manager;
    fixture.interfaces = {UiFixture::ipv4(QStringLiteral("en0"), QStringLiteral("192.168.1.20"))};
    fixture.edit([](AppConfig& config) {
        config.allowLan = true;
        config.customRules = {
            customRule(QStringLiteral("baidu.com"), CustomRuleAction::Direct),
            customRule(QStringLiteral("openai.com"), CustomRuleAction::Proxy),
            customRule(QStringLiteral("10.0.0.0/8"), CustomRuleAction::Direct),
        };
    });
    MihomoManagerTestAccess::setIsConnected(manager, true);
    MihomoManagerTestAccess::setStatusMessage(manager, QStringLiteral("已连接"));
    MihomoManagerTestAccess::setUpSpeed(manager, 86 * 1024);
    MihomoManagerTestAccess::setDownSpeed(manager, 3 * 1024 * 1024 + 400 * 1024);
    MihomoManagerTestAccess::setLatencyMs(manager, 85);
    QuotaInfo quota;
    quota.ok = true;
    quota.resetDay = 1;
    quota.daysRemaining = 12;
    quota.quotaBytes = 6'000'000'000'000;
    quota.usedBytes = 1'500'000'000'000;
    quota.remainingBytes = quota.quotaBytes - quota.usedBytes;
    MihomoManagerTestAccess::setQuota(manager, quota);
    MihomoManagerTestAccess::setErrorMessage(manager,
                                             QStringLiteral("热重载配置失败: Connection refused"));
    MihomoManagerTestAccess::setRecentConnections(
        manager, {
                     {"www.bilibili.com", "www.bilibili.com", "GeoSite", "DIRECT"},
                     {"api.github.com", "api.github.com", "Match", "PROXY"},
                     {"static.example-cdn.net", "static.example-cdn.net", "Match", "PROXY"},
                 });
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication application(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QString folder = argc > 1
                               ? QString::fromLocal8Bit(argv[1])
                               : TestSupport::sourceDir() + QStringLiteral("/docs/screenshots");
    QDir().mkpath(folder);
    bool ok = true;

    {
        UiFixture fixture;
        ContentView view(*fixture.manager);
        view.setWindowTitle(QStringLiteral("Miravo VPN"));
        ok &= save(view, folder, QStringLiteral("main-disconnected.png"));
    }
    {
        UiFixture fixture;
        connectedState(fixture);
        ContentView view(*fixture.manager);
        ok &= save(view, folder, QStringLiteral("main-connected.png"));
        ok &= saveSheet(new RulesView(*fixture.manager), folder, QStringLiteral("rules.png"));
        fixture.edit([](AppConfig& config) {
            config.accountLabel = QStringLiteral("张三");
            config.apiBaseURL = QStringLiteral("https://auth.example.com");
        });
        fixture.loginItem->registered = true;
        MihomoManagerTestAccess::setLaunchAtLoginState(*fixture.manager, true);
        ok &= saveSheet(new SettingsView(*fixture.manager), folder, QStringLiteral("settings.png"));

        QApplication::setPalette(darkPalette());
        ContentView dark(*fixture.manager);
        ok &= save(dark, folder, QStringLiteral("main-connected-dark.png"));
        ok &= saveSheet(new RulesView(*fixture.manager), folder, QStringLiteral("rules-dark.png"));
        ok &= saveSheet(new SettingsView(*fixture.manager), folder,
                        QStringLiteral("settings-dark.png"));
    }
    return ok ? 0 : 1;
}
