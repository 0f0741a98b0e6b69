#pragma once

#include "config/Deployment.h"

#include <QString>
#include <array>

// The names the generated core configuration defines and the requests to the core's controller
// refer to. Both sides read them from here, so a renamed node or group cannot leave a request
// pointing at something the configuration no longer has.
namespace CoreNames {

// The fallback group every rule that is not DIRECT routes to.
inline constexpr const char* proxyGroup = "PROXY";
// The core's own selector used in global mode; it is pointed at `proxyGroup`.
inline constexpr const char* globalGroup = "GLOBAL";

// The nodes: WebSocket over the CDN, Hysteria 2, and VLESS with REALITY (always present).
inline constexpr const char* cdnNode = "CloudCone-LA-CF";
inline constexpr const char* hysteriaNode = "CloudCone-LA-HY2";
inline constexpr const char* realityNode = "CloudCone-LA";
// The nodes in the order of the fallback group when all three are written.
inline constexpr std::array<const char*, 3> fallbackOrder = {cdnNode, hysteriaNode, realityNode};

// The ports the application gives the core unless told otherwise.
inline constexpr qint64 defaultMixedPort = 17890;
inline constexpr qint64 defaultApiPort = 19090;

// The URL the fallback group checks its nodes with, and the latency probe measures against.
inline QString healthCheckUrl() {
    return QStringLiteral("http://") + QString::fromUtf8(Deployment::checkHost) +
           QStringLiteral("/generate_204");
}

} // namespace CoreNames
