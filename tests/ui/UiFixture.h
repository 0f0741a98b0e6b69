#pragma once

#include "BareEnvironment.h"
#include "TestSupport.h"
#include "config/SettingsStore.h"
#include "controller/MihomoManager.h"

#include <QTemporaryDir>
#include <QWidget>
#include <functional>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

// A login item that keeps its state in memory and can refuse to be written.
class FakeLoginItem : public LoginItem {
public:
    bool isRegistered() const override { return registered; }
    void setRegistered(bool enabled, const QString&) override {
        if (writable)
            registered = enabled;
    }
    bool registered = false;
    bool writable = true;
};

// A controller over a temporary data folder with no core, no desktop proxy, no administrator
// prompt and a fake login item; its interfaces and computer name are the test's.
struct UiFixture {
    UiFixture() {
        ManagerEnvironment environment = TestSupport::bareEnvironment(dir);
        environment.platform.interfaces = [this] { return interfaces; };
        environment.platform.lanInterfacePrefixes = {QStringLiteral("en")};
        environment.platform.deviceName = [] { return QStringLiteral("测试电脑"); };
        auto login = std::make_unique<FakeLoginItem>();
        loginItem = login.get();
        environment.platform.loginItem = std::move(login);
        environment.apiPort = TestSupport::freeLocalPort(); // nothing answers there
        manager = std::make_unique<MihomoManager>(std::move(environment));
    }

    // Changes the settings directly, as a view writing a setting does.
    void edit(const std::function<void(AppConfig&)>& change) {
        AppConfig config = manager->config();
        change(config);
        manager->setConfig(config);
    }

    // The settings as saved in the data folder.
    std::optional<AppConfig> savedConfig() const {
        QFile file(manager->configFilePath());
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return AppConfigCodec::decode(file.readAll());
    }

    static InterfaceAddress ipv4(const QString& name, const QString& address) {
        return {name, IFF_UP | IFF_RUNNING, AF_INET, address};
    }

    QTemporaryDir dir;
    QList<InterfaceAddress> interfaces;
    FakeLoginItem* loginItem = nullptr;
    std::unique_ptr<MihomoManager> manager;
};

// A widget of the view by object name; a warning names a missing one.
template <typename T> T* find(const QWidget& view, const char* name) {
    T* widget = view.findChild<T*>(QLatin1String(name));
    if (!widget)
        qWarning("missing widget %s", name);
    return widget;
}

inline CustomRule customRule(const QString& pattern, CustomRuleAction action) {
    return {QUuid::createUuid(), pattern, action};
}
