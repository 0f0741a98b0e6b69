#pragma once

#include <QString>
#include <optional>

// An error the connect sequence shows to the user: domain "VantrelVPN", a code and a Chinese
// description. Code 0 carries a platform description (file, process or request failure).
struct ControlError {
    static constexpr const char* domain = "VantrelVPN";

    int code = 0;
    QString description;

    static ControlError coreMissing() { return {1, QStringLiteral("未找到内核 vantrel-core")}; }
    static ControlError helperMissing() {
        return {1, QStringLiteral("未找到 TUN 辅助程序 vantrel-helper")};
    }
    static ControlError coreStartFailed() {
        return {2, QStringLiteral("内核启动失败，请检查配置或权限")};
    }
    static ControlError coreStartTimedOut() { return {3, QStringLiteral("内核启动超时")}; }
    static ControlError portOccupied(qint64 port) {
        return {4, QStringLiteral("端口 %1 已被其他程序占用").arg(port)};
    }
    static ControlError unsafeDataFolder(const QString& path) {
        return {5, QStringLiteral("数据目录不安全，请检查权限: ") + path};
    }
    // The core ended while connected and could not be started again.
    static ControlError coreEnded() { return {0, QStringLiteral("内核意外退出，已断开连接")}; }
    static ControlError platform(const QString& description) { return {0, description}; }
};

using ControlResult = std::optional<ControlError>; // none: success
