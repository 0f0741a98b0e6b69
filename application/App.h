#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

class MihomoManager;
class QWidget;

// Holds the one controller of the process.
class SharedState {
public:
    static MihomoManager& manager();
};

// The application shell: main window titled "Miravo VPN".
class VantrelVPNApp : public QObject {
    Q_OBJECT
public:
    explicit VantrelVPNApp(QObject* parent = nullptr);
    ~VantrelVPNApp() override;

    void showMainWindow();

private:
    std::unique_ptr<QWidget> m_window;
};
