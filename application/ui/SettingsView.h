#pragma once

#include <QWidget>

class MihomoManager;
class ElidedLabel;
class SwitchButton;

// The settings sheet: account label, this computer's name, the service address and the
// launch-at-login switch, and the import of an account below them. Only "完成" and an import
// save the settings file.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize FixedSize{400, 340};

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
};
