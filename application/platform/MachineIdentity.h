#pragma once

#include <QString>

// A stable per-machine text for the quota request; empty when the platform gives none
// (the caller then falls back to the "device_id" file).
class MachineIdentity {
public:
    virtual ~MachineIdentity() = default;
    virtual QString platformId() const = 0;
};
