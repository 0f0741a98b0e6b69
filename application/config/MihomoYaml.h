#pragma once

#include "config/AppConfig.h"

#include <QString>

// The complete core configuration text for a settings record.
struct MihomoYamlInputs {
    qint64 mixedPort = 17890;
    qint64 apiPort = 19090;
    QString controllerSecret; // written as "secret: <token>" after the controller line
};

QString buildMihomoYAML(const AppConfig& config, const MihomoYamlInputs& inputs);
