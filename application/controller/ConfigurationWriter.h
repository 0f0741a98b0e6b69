#pragma once

#include "config/AppConfig.h"
#include "config/MihomoYaml.h"
#include "controller/ControlError.h"
#include "platform/AppPaths.h"

#include <QThreadPool>
#include <optional>
#include <qcoro/qcorotask.h>

// Builds the core's configuration file from a settings record and writes it, on a worker thread
// and one job after another in the order asked. With a long rule list that takes tens of
// milliseconds, which the window would otherwise spend frozen after each rule change.
class ConfigurationWriter {
public:
    explicit ConfigurationWriter(AppPaths paths);
    ~ConfigurationWriter(); // waits for the jobs still queued

    ConfigurationWriter(const ConfigurationWriter&) = delete;
    ConfigurationWriter& operator=(const ConfigurationWriter&) = delete;

    // Resolves on the calling (main) thread once the file is written, or with why not.
    [[nodiscard]] QCoro::Task<ControlResult> write(AppConfig config, MihomoYamlInputs inputs);
    // Returns once every job asked for has ended: a write that follows on this thread comes last.
    void flush();

    // Writes `text` as the configuration file of the data folder, refusing a folder that is not
    // the user's alone. Safe on any thread.
    [[nodiscard]] static ControlResult writeFile(const AppPaths& paths, const QString& text);

private:
    AppPaths m_paths;
    QThreadPool m_pool; // one thread, so the jobs run in order
};
