#include "platform/linux/LinuxMachineIdentity.h"

#include <QFile>
#include <QMessageAuthenticationCode>
#include <QUuid>

namespace {
const QByteArray kApplicationId = QByteArrayLiteral("com.vantrel.vpn");
}

LinuxMachineIdentity::LinuxMachineIdentity(QString machineIdPath)
    : m_machineIdPath(std::move(machineIdPath)) {}

QString LinuxMachineIdentity::derivedId(const QByteArray& machineId) {
    QByteArray bytes =
        QMessageAuthenticationCode::hash(kApplicationId, machineId, QCryptographicHash::Sha256)
            .left(16);
    bytes[6] = char((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = char((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces).toUpper();
}

QString LinuxMachineIdentity::platformId() const {
    QFile file(m_machineIdPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray machineId = file.readAll().trimmed();
    return machineId.isEmpty() ? QString() : derivedId(machineId);
}
