#pragma once

#include "config/AppConfig.h"
#include "config/CoreNames.h"

#include <QString>

// The complete core configuration text for a settings record.
struct MihomoYamlInputs {
    qint64 mixedPort = CoreNames::defaultMixedPort;
    qint64 apiPort = CoreNames::defaultApiPort;
    QString controllerSecret; // written as "secret: <token>" after the controller line
};

QString buildMihomoYAML(const AppConfig& config, const MihomoYamlInputs& inputs);

// A settings value as written after "key: ": verbatim when a YAML plain scalar carries it
// unchanged as text, otherwise double-quoted with escapes. Empty stays empty.
QString yamlScalar(const QString& value);
