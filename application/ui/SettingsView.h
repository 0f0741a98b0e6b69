#pragma once

#include <QWidget>

class MihomoManager;
class ElidedLabel;
class SwitchButton;

// The settings sheet: account label, this computer's name, the service address and the
// launch-at-login and auto-connect switches, and the import of an account below them. "完成"
// and an import save the settings file; the auto-connect switch saves its own change at once.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize FixedSize{400, 380};

    explicit SettingsView(MihomoManager& manager, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void render();

    MihomoManager& m_manager;
    ElidedLabel* m_accountValue = nullptr;
    ElidedLabel* m_deviceValue = nullptr;
    ElidedLabel* m_serverValue = nullptr;
    SwitchButton* m_launchAtLoginSwitch = nullptr;
    SwitchButton* m_autoConnectSwitch = nullptr;
};
