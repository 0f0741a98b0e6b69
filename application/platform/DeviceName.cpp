#include "platform/DeviceName.h"
#include "platform/ToolProcess.h"

#include <QFile>
#include <QSysInfo>

namespace DeviceName {

namespace {
// machine-info is an environment-style file: the value may be quoted shell-fashion.
QString unquoted(QString value) {
    value = value.trimmed();
    if (value.size() >= 2 &&
        (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
        value.back() == value.front()) {
        const bool doubleQuoted = value.front() == QLatin1Char('"');
        value = value.mid(1, value.size() - 2);
        if (doubleQuoted) {
            QString plain;
            for (qsizetype i = 0; i < value.size(); ++i) {
                if (value[i] == QLatin1Char('\\') && i + 1 < value.size())
                    ++i;
                plain += value[i];
            }
            value = plain;
        }
    }
    return value;
}
} // namespace

QString fromMachineInfo(const QString& machineInfoPath) {
    QFile file(machineInfoPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QString key = QStringLiteral("PRETTY_HOSTNAME=");
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(key))
            return unquoted(line.trimmed().mid(key.size())).trimmed();
    }
    return {};
}

QString fromScutil(const QString& scutilPath) {
    const auto name =
        ToolProcess::output(scutilPath, {QStringLiteral("--get"), QStringLiteral("ComputerName")});
    return name ? QString::fromUtf8(*name).trimmed() : QString();
}

QString orHostName(const QString& preferred) {
    const QString name = preferred.trimmed();
    return name.isEmpty() ? QSysInfo::machineHostName().trimmed() : name;
}

QString current() {
#ifdef Q_OS_MACOS
    return orHostName(fromScutil());
#else
    return orHostName(fromMachineInfo());
#endif
}

} // namespace DeviceName
