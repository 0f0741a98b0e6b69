#include "platform/macos/IoregMachineIdentity.h"
#include "platform/ToolProcess.h"

#include <QRegularExpression>

IoregMachineIdentity::IoregMachineIdentity(QString ioregPath) : m_ioreg(std::move(ioregPath)) {}

QString IoregMachineIdentity::uuidFromListing(const QString& listing) {
    // A line such as:   "IOPlatformUUID" = "564D1A2B-...-9F"
    static const QRegularExpression property(
        QStringLiteral("\"IOPlatformUUID\"\\s*=\\s*\"([^\"]*)\""));
    return property.match(listing).captured(1).trimmed();
}

QString IoregMachineIdentity::platformId() const {
    const auto listing = ToolProcess::output(m_ioreg, {QStringLiteral("-rd1"), QStringLiteral("-c"),
                                                       QStringLiteral("IOPlatformExpertDevice")});
    return listing ? uuidFromListing(QString::fromUtf8(*listing)) : QString();
}
