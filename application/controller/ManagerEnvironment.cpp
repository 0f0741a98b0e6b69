#include "controller/ManagerEnvironment.h"

ManagerEnvironment ManagerEnvironment::forCurrentUser() {
    ManagerEnvironment environment;
    environment.paths = AppPaths::forCurrentUser();
    environment.platform = PlatformServices::forHost(environment.paths.homeDir);
    return environment;
}
