#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
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
QString stagedAuthorizeScript() {
    return stageDir() + QStringLiteral("/libexec/vantrel-vpn/vantrel-authorize");
}
QString installedBase() {
    return QDir::cleanPath(stageDir() + QStringLiteral("/.."));
}

bool setTunCapabilities(const QString& path) {
    QString setcap = QStandardPaths::findExecutable(QStringLiteral("setcap"));
    if (setcap.isEmpty())
        setcap = QStandardPaths::findExecutable(
            QStringLiteral("setcap"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (setcap.isEmpty())
        return false;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(setcap,
                  {QStringLiteral("cap_net_admin,cap_net_raw,cap_net_bind_service+p"), path});
    return process.waitForFinished(10'000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QString processStatus(qint64 pid, const QString& field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    const QString prefix = field + QLatin1Char(':');
    for (const QString& line : QString::fromUtf8(status.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).simplified();
    }
    return {};
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

bool isRunning(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    return !text.mid(text.lastIndexOf(')')).startsWith(") Z");
}

} // namespace TestSupport
