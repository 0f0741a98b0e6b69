#pragma once

#include <QObject>

class ControllerConnection;
class DevCore;
struct ControllerRequest;

// The controller's endpoints, answered as the real core answers them.
class ControllerApi : public QObject {
    Q_OBJECT
public:
    explicit ControllerApi(DevCore& core, QObject* parent = nullptr);

    void handle(const ControllerRequest& request, ControllerConnection* connection);

private:
    void getConfigs(ControllerConnection* connection);
    void patchConfigs(const ControllerRequest& request, ControllerConnection* connection);
    void reloadConfigs(const ControllerRequest& request, ControllerConnection* connection);
    void getGlobal(ControllerConnection* connection);
    void putGlobal(const ControllerRequest& request, ControllerConnection* connection);
    void testDelay(const ControllerRequest& request, ControllerConnection* connection);
    void streamTraffic(ControllerConnection* connection);

    DevCore& m_core;
};
