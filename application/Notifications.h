#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class DesktopNotifier;
class MihomoManager;

// Tells the user through desktop notifications what happened without them: the connection
// dropped and is being restored, it is back, it was given up; a connect failed while the window
// was hidden; 90 % of the month's traffic is used (once per quota cycle). What the user just did
// in the window is not notified.
class ConnectionNotifications : public QObject {
    Q_OBJECT
public:
    static inline const QString title = QStringLiteral("Miravo VPN");

    ConnectionNotifications(MihomoManager& manager, std::unique_ptr<DesktopNotifier> notifier,
                            std::function<bool()> windowVisible, QObject* parent = nullptr);
    ~ConnectionNotifications() override;

private:
    void statusChanged();
    void errorChanged();
    void quotaChanged();

    MihomoManager& m_manager;
    std::unique_ptr<DesktopNotifier> m_notifier;
    std::function<bool()> m_windowVisible;
    QString m_lastStatus;
    QString m_lastError;
    QString m_warnedCycle; // the quota cycle whose 90 % was already notified
    bool m_warnedAnyCycle = false;
};
