// Stands in for the application in the test of a crash: starts the bundle's core in
// system-proxy mode, prints its process id and waits to be killed. The bundle's root comes on
// the command line, never the data folder itself, which the orphan clean-up matches.
#include "controller/CoreSupervisor.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2)
        return 2;
    const QString root = arguments.at(1);
    AppPaths paths;
    paths.dataDir = root + QStringLiteral("/data/VantrelVPN");
    paths.homeDir = root + QStringLiteral("/home");
    paths.bundle = BundleLayout::linuxLayout(root + QStringLiteral("/bin/vantrel-vpn"));
    CoreSupervisor supervisor(paths, QStringLiteral("/bin/true"));
    if (supervisor.startCoreProcess(false))
        return 1;
    QTextStream(stdout) << supervisor.processId() << Qt::endl;
    return application.exec();
}
