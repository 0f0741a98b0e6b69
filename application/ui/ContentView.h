#pragma once

#include <QWidget>

class MihomoManager;
class PlainButton;
class PowerButton;
class ElidedLabel;
class QuotaBar;
class SegmentedControl;
class SwitchButton;
class SheetBinding;
class QTimer;

// The main window's content: connection, latency, quota, mode, TUN and LAN controls, and the
// entry points to the rules and settings sheets. Everything shown comes from the controller;
// every control calls one controller operation or writes one controller property.
class ContentView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize FixedSize{390, 590};

    explicit ContentView(MihomoManager& manager, QWidget* parent = nullptr);

private:
    QWidget* buildHeaderBar();
    QWidget* buildPowerCard();
    QWidget* buildQuotaCard();
    QWidget* buildModeCard();
    QWidget* buildBottomBar();
    void connectController();

    void renderConnection();
    void renderSpeeds();
    void renderQuota();
    void renderSettings();
    void renderLan();
    void renderError();
    void setAllowLan(bool on);

    MihomoManager& m_manager;

    PlainButton* m_latencyPill = nullptr;
    PowerButton* m_powerButton = nullptr;
    ElidedLabel* m_statusLabel = nullptr;
    ElidedLabel* m_upSpeedLabel = nullptr;
    ElidedLabel* m_downSpeedLabel = nullptr;
    ElidedLabel* m_quotaResetLabel = nullptr;
    QuotaBar* m_quotaBar = nullptr;
    ElidedLabel* m_quotaUsedLabel = nullptr;
    ElidedLabel* m_quotaRightLabel = nullptr;
    SegmentedControl* m_modeSelector = nullptr;
    ElidedLabel* m_tunSubtitleLabel = nullptr;
    SwitchButton* m_tunSwitch = nullptr;
    PlainButton* m_rulesButton = nullptr;
    PlainButton* m_lanButton = nullptr;
    QTimer* m_lanRefresh = nullptr;
    ElidedLabel* m_errorLabel = nullptr;
    SheetBinding* m_settingsSheet = nullptr;
    SheetBinding* m_rulesSheet = nullptr;
};
