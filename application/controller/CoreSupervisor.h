#pragma once

#include "controller/ControlError.h"
#include "platform/AppPaths.h"

#include <QObject>
#include <QString>
#include <optional>

class QProcess;

// Runs the proxy core (system-proxy mode) or the launcher that runs it as root (TUN mode):
// geodata, configuration file, core.log, start, stop and the clean-up of cores left behind.
// Everything blocks the calling (main) thread; the readiness wait lives with the connect task.
class CoreSupervisor : public QObject {
    Q_OBJECT
public:
    CoreSupervisor(AppPaths paths, QString pkillPath, QObject* parent = nullptr);
    ~CoreSupervisor() override;

    // Refuses a data folder that another user owns or may write to: links planted there could
    // redirect every file written below.
    [[nodiscard]] ControlResult checkDataFolder() const;
    // Copies "geosite.dat" and "geoip.metadb" from the bundle unless already present.
    [[nodiscard]] ControlResult ensureGeoFiles() const;
    // Replaces "config.yaml" atomically with the given text.
    [[nodiscard]] ControlResult writeMihomoYAML(const QString& text) const;
    // Stops any earlier process, then starts the core or, in TUN mode, the launcher with a
    // pipe as its standard input. Output and error go to a fresh "core.log".
    [[nodiscard]] ControlResult startCoreProcess(bool tunEnabled);
    // Closes the launcher's pipe, terminates the process and waits for it; then the orphan
    // clean-up, which reaches a core left behind by a launcher too (it runs as this user).
    void stopCoreProcess(bool cleanUpOrphans = true);
    // Terminates every process of this user that runs a core on our data folder.
    void cleanupOrphanCore() const;

    bool hasProcess() const { return m_process != nullptr; }
    bool isProcessRunning() const;
    qint64 processId() const; // 0 when none

    // pkill's pattern: the core's own arguments "-d <data folder> -f", every regular-expression
    // character of the folder escaped.
    static QString orphanPattern(const QString& dataDir);

signals:
    // The supervised process ended although nobody stopped it.
    void processEnded();

private:
    bool createEmptyLog() const;
    // The whole process group in system-proxy mode, else the process alone.
    void signalProcess(QProcess& process, int signalNumber) const;

    AppPaths m_paths;
    QString m_pkillPath;
    QProcess* m_process = nullptr; // child; the core or the launcher
    bool m_processIsLauncher = false;
    qint64 m_processGroup = 0; // the core's own process group; 0 when none
};
