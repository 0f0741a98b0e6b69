#include "controller/ConfigurationWriter.h"

#include "files/PrivateFiles.h"

#include <QFuture>
#include <QPromise>
#include <memory>
#include <qcoro/qcorofuture.h>

ConfigurationWriter::ConfigurationWriter(AppPaths paths) : m_paths(std::move(paths)) {
    m_pool.setMaxThreadCount(1);
    m_pool.setObjectName(QStringLiteral("configurationWriter"));
}

ConfigurationWriter::~ConfigurationWriter() {
    flush();
}

void ConfigurationWriter::flush() {
    m_pool.waitForDone();
}

ControlResult ConfigurationWriter::writeFile(const AppPaths& paths, const QString& text) {
    if (!isPrivateFolder(paths.dataDir))
        return ControlError::unsafeDataFolder(paths.dataDir);
    QString error;
    if (!writeFileAtomically(paths.mihomoConfigFile(), text.toUtf8(), &error))
        return ControlError::platform(error);
    return std::nullopt;
}

QCoro::Task<ControlResult> ConfigurationWriter::write(AppConfig config, MihomoYamlInputs inputs) {
    // The pool takes copyable jobs only; the promise is shared with the one job.
    auto promise = std::make_shared<QPromise<ControlResult>>();
    QFuture<ControlResult> future = promise->future();
    promise->start();
    m_pool.start(
        [promise, paths = m_paths, config = std::move(config), inputs = std::move(inputs)] {
            promise->addResult(writeFile(paths, buildMihomoYAML(config, inputs)));
            promise->finish();
        });
    // The job always ends (the destructor waits for it), so the future always resolves.
    co_return co_await future;
}
