#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>

namespace TestSupport {

QString stageDir() {
    return qEnvironmentVariable("VANTREL_STAGE_DIR");
}
QString stagedCore() {
    return stageDir() + QStringLiteral("/libexec/vantrel-vpn/vantrel-core");
}
QString stagedHelper() {
    return stageDir() + QStringLiteral("/libexec/vantrel-vpn/vantrel-helper");
}
QString sourceDir() {
    return qEnvironmentVariable("VANTREL_SOURCE_DIR");
}

quint16 freeLocalPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QString writeScript(const QString& path, const QString& body) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write(body.toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return path;
}

} // namespace TestSupport
