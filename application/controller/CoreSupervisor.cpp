#include "controller/CoreSupervisor.h"

#include "controller/ConfigurationWriter.h"

#include "files/PrivateFiles.h"
#include "platform/ChildProcessSetup.h"
#include "platform/ToolProcess.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>

namespace {

const QStringList kGeoFiles = {QStringLiteral("geosite.dat"), QStringLiteral("geoip.metadb")};
// A core that ignores SIGTERM is killed after this; short enough that a quit stays quick.
constexpr int kStopGraceMs = 3'000;

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

CoreSupervisor::CoreSupervisor(AppPaths paths, QString pkillPath, QObject* parent)
    : QObject(parent), m_paths(std::move(paths)), m_pkillPath(std::move(pkillPath)) {}

CoreSupervisor::~CoreSupervisor() {
    // Never leave a core behind, even when the owner forgot to disconnect.
    if (m_process)
        stopCoreProcess(false);
}

ControlResult CoreSupervisor::checkDataFolder() const {
    if (!isPrivateFolder(m_paths.dataDir))
        return ControlError::unsafeDataFolder(m_paths.dataDir);
    return std::nullopt;
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
    return ConfigurationWriter::writeFile(m_paths, text);
}

bool CoreSupervisor::createEmptyLog() const {
    // One generation is kept, so that the reason of a crash is still readable after a restart.
    // A rename moves a link itself, never its target; the new file replaces whatever is there.
    const QString log = m_paths.coreLogFile();
    if (const QFileInfo info(log); info.exists() || info.isSymLink()) {
        const QString previous = log + QStringLiteral(".1");
        QFile::remove(previous);
        QFile::rename(log, previous);
    }
    return writeFileAtomically(log, QByteArray());
}

ControlResult CoreSupervisor::startCoreProcess(bool tunEnabled) {
    stopCoreProcess();

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
        // Whatever the core forks ends with it, and it ends with the application (the
        // launcher has its own liveness pipe).
        ChildProcessSetup::apply(*process, {.ownProcessGroup = true, .endWithParent = true});
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
    m_processGroup = tunEnabled ? 0 : process->processId();
    if (m_processGroup > 0)
        ChildProcessSetup::trackGroup(m_processGroup);
    QObject::connect(process, &QProcess::finished, this, [this, process] {
        if (process == m_process)
            emit processEnded();
    });
    return std::nullopt;
}

void CoreSupervisor::stopCoreProcess(bool cleanUpOrphans) {
    if (QProcess* process = std::exchange(m_process, nullptr)) {
        QObject::disconnect(process, &QProcess::finished, this, nullptr);
        if (m_processIsLauncher)
            process->closeWriteChannel();
        if (process->state() != QProcess::NotRunning) {
            signalProcess(*process, SIGTERM);
            if (!process->waitForFinished(kStopGraceMs)) {
                signalProcess(*process, SIGKILL);
                process->waitForFinished(-1);
            }
        }
        // Later: this may run inside one of the process's own signals.
        process->deleteLater();
    }
    m_processIsLauncher = false;
    // Children of the core that outlive it (or a core that died by itself) go too. The group's
    // id stays reserved while any member lives, so this never reaches a stranger.
    if (const qint64 group = std::exchange(m_processGroup, 0); group > 0) {
        ::kill(-pid_t(group), SIGKILL);
        ChildProcessSetup::untrackGroup(group);
    }
    if (cleanUpOrphans)
        cleanupOrphanCore();
}

void CoreSupervisor::signalProcess(QProcess& process, int signalNumber) const {
    if (m_processGroup > 0)
        ::kill(-pid_t(m_processGroup), signalNumber);
    else if (signalNumber == SIGKILL)
        process.kill();
    else
        process.terminate();
}

void CoreSupervisor::cleanupOrphanCore() const {
    ToolProcess::run(m_pkillPath,
                     {QStringLiteral("-f"), QStringLiteral("--"), orphanPattern(m_paths.dataDir)});
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
