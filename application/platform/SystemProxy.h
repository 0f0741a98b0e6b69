#pragma once

#include <QString>
#include <QStringList>

// Points the desktop's proxy settings at the core's mixed port, or switches them off.
// Commands run one after another without a shell, each waited for; failures are not reported.
class SystemProxy {
public:
    virtual ~SystemProxy() = default;
    virtual void apply(bool enabled, qint64 mixedPort) = 0;
    // Whether some proxy setting currently points at 127.0.0.1:mixedPort (a run that crashed
    // while connected left it so).
    virtual bool pointsAt(qint64 mixedPort) = 0;
};
