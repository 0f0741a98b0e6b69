#include "controller/CoreSupervisor.h"

#include "config/SettingsStore.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const QStringList kGeoFiles = {QStringLiteral("geosite.dat"), QStringLiteral("geoip.metadb")};
// A core that ignores SIGTERM must not freeze the application for ever.
constexpr int kStopGraceMs = 10'000;

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

// The core gets SIGTERM when the application dies, even by a crash; the start-up clean-up
// stays for what this cannot cover. (The launcher has its own liveness pipe.)
void endWithThisProcess(QProcess& process) {
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) // the application died before the line above
            ::raise(SIGTERM);
    });
}

} // namespace

CoreSupervisor::CoreSupervisor(AppPaths paths, QString pkillPath, QObject* parent)
    : QObject(parent), m_paths(std::move(paths)), m_pkillPath(std::move(pkillPath)) {}

CoreSupervisor::~CoreSupervisor() {
    // Never leave a core behind, even when the owner forgot to disconnect.
    if (m_process)
        stopCoreProcess(true);
}

ControlResult CoreSupervisor::ensureGeoFiles() const {
    for (const QString& name : kGeoFiles) {
        const QString source = m_paths.bundle.resource(name);
        const QString target = m_paths.dataDir + QLatin1Char('/') + name;
        if (!QFileInfo::exists(source) || QFileInfo::exists(target))
            continue;
        QFile file(source);
        if (!file.copy(target))
            return ControlError::platform(file.errorString());
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
    }
    return std::nullopt;
}

ControlResult CoreSupervisor::writeMihomoYAML(const QString& text) const {
    QString error;
    if (!writeFileAtomically(m_paths.mihomoConfigFile(), text.toUtf8(), &error))
        return ControlError::platform(error);
    return std::nullopt;
}

bool CoreSupervisor::createEmptyLog() const {
    // One generation is kept, so that the reason of a crash is still readable after a restart.
    const QString previous = m_paths.coreLogFile() + QStringLiteral(".1");
    if (QFileInfo::exists(m_paths.coreLogFile())) {
        QFile::remove(previous);
        if (QFile::rename(m_paths.coreLogFile(), previous))
            QFile::setPermissions(previous, QFile::ReadOwner | QFile::WriteOwner);
    }
    QFile log(m_paths.coreLogFile());
    if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    log.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    return true;
}

ControlResult CoreSupervisor::startCoreProcess(bool tunEnabled) {
    stopCoreProcess(tunEnabled);

    const QString& core = m_paths.bundle.coreBinary;
    const QString& helper = m_paths.bundle.helperBinary;
    if (!isExecutableFile(core))
        return ControlError::coreMissing();
    if (tunEnabled && !isExecutableFile(helper))
        return ControlError::helperMissing();

    auto* process = new QProcess(this);
    if (tunEnabled) {
        // The launcher stops the core when its standard input (our write channel) closes.
        process->setProgram(helper);
        process->setArguments({m_paths.dataDir, m_paths.mihomoConfigFile()});
    } else {
        process->setProgram(core);
        process->setArguments({QStringLiteral("-d"), m_paths.dataDir, QStringLiteral("-f"),
                               m_paths.mihomoConfigFile()});
        process->setInputChannelMode(QProcess::ForwardedInputChannel);
        endWithThisProcess(*process);
    }
    if (createEmptyLog()) {
        // One open file for both streams, so that their lines interleave instead of overwrite.
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->setStandardOutputFile(m_paths.coreLogFile(), QIODevice::Append);
    } else {
        process->setProcessChannelMode(QProcess::ForwardedChannels);
    }

    process->start();
    if (!process->waitForStarted(-1)) {
        const QString error = process->errorString();
        delete process;
        return ControlError::platform(error);
    }
    m_process = process;
    m_processIsLauncher = tunEnabled;
    QObject::connect(process, &QProcess::finished, this, [this, process] {
        if (process == m_process)
            emit processEnded();
    });
    return std::nullopt;
}

void CoreSupervisor::stopCoreProcess(bool tunEnabled) {
    if (QProcess* process = std::exchange(m_process, nullptr)) {
        QObject::disconnect(process, &QProcess::finished, this, nullptr);
        if (m_processIsLauncher)
            process->closeWriteChannel();
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(kStopGraceMs)) {
                process->kill();
                process->waitForFinished(-1);
            }
        }
        // Later: this may run inside one of the process's own signals.
        process->deleteLater();
    }
    m_processIsLauncher = false;
    if (!tunEnabled)
        cleanupOrphanCore();
}

void CoreSupervisor::cleanupOrphanCore() const {
    QProcess pkill;
    pkill.setProgram(m_pkillPath);
    pkill.setArguments(
        {QStringLiteral("-f"), QStringLiteral("--"), orphanPattern(m_paths.dataDir)});
    pkill.setProcessChannelMode(QProcess::ForwardedChannels);
    pkill.start();
    if (pkill.waitForStarted(-1))
        pkill.waitForFinished(-1);
}

QString CoreSupervisor::orphanPattern(const QString& dataDir) {
    // The characters POSIX extended expressions treat specially outside brackets.
    static const QString special = QStringLiteral(".[\\()*+?{|^$");
    QString escaped;
    escaped.reserve(dataDir.size() * 2);
    for (const QChar c : dataDir) {
        if (special.contains(c))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return QStringLiteral("-d ") + escaped + QStringLiteral(" -f");
}

bool CoreSupervisor::isProcessRunning() const {
    return m_process && m_process->state() != QProcess::NotRunning;
}

qint64 CoreSupervisor::processId() const {
    return m_process ? m_process->processId() : 0;
}
