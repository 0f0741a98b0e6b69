// The staged application as a real process over a throw-away home: termination signals end it
// in order, and a second launch hands over to the first and exits.
#include "SingleInstance.h"
#include "TerminationSignals.h"
#include "TestBundle.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kProxySchema = QStringLiteral("org.gnome.system.proxy");

// Everything the application could touch points into the bundle's folder; it finds the fake
// gsettings first on PATH and no desktop to talk to.
QProcessEnvironment applicationEnvironment(const TestBundle& bundle) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    // A bus address where nothing listens: no desktop, and no bus started on demand either.
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"})
        env.insert(QString::fromLatin1(name),
                   QStringLiteral("unix:path=") + bundle.root() + QStringLiteral("/no-bus"));
    const QString home = bundle.root() + QStringLiteral("/home");
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), bundle.root() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), bundle.root() + QStringLiteral("/run"));
    env.insert(QStringLiteral("PATH"), bundle.toolsDir() + QStringLiteral(":/usr/bin:/bin"));
    return env;
}

QString runtimeDir(const TestBundle& bundle) {
    return bundle.root() + QStringLiteral("/run");
}

QString socketPath(const TestBundle& bundle) {
    return runtimeDir(bundle) + QStringLiteral("/vantrel-vpn-%1").arg(::getuid());
}

void prepareRuntimeDir(const TestBundle& bundle) {
    QDir().mkpath(runtimeDir(bundle));
    ::chmod(QFile::encodeName(runtimeDir(bundle)).constData(), 0700);
}

void startApplication(QProcess& process, const TestBundle& bundle) {
    process.setProcessEnvironment(applicationEnvironment(bundle));
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(TestSupport::stageDir() + QStringLiteral("/bin/vantrel-vpn"), {});
}

bool finishes(QProcess& process, int timeoutMs) {
    // Keeps this thread's event loop running meanwhile.
    QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(20);
    return process.state() == QProcess::NotRunning;
}

// Launches the application again until the running one has answered (it answers once its event
// loop runs, after its start-up); the exit code of the last launch.
int launchAgain(const TestBundle& bundle) {
    int exitCode = -1;
    QDeadlineTimer deadline(90000);
    do {
        QProcess second;
        startApplication(second, bundle);
        if (!finishes(second, 30000))
            return -1;
        exitCode = second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    } while (exitCode != 0 && !deadline.hasExpired());
    return exitCode;
}

} // namespace

class ShellProcessTest : public QObject {
    Q_OBJECT

private slots:
    void terminationSignalsQuitInOrder_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void terminationSignalsQuitInOrder() {
        QFETCH(int, signalNumber);
        TestBundle bundle;
        QVERIFY(bundle.isValid());
        prepareRuntimeDir(bundle);

        QProcess first;
        startApplication(first, bundle);
        QVERIFY(first.waitForStarted());
        // Launched again only once the first holds the name, or the second could win it.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socketPath(bundle)), 30000);
        // A second launch is answered by the first and exits; the first keeps running.
        QCOMPARE(launchAgain(bundle), 0);
        QCOMPARE(first.state(), QProcess::Running);
        QVERIFY(QFileInfo::exists(bundle.dataDir() + QStringLiteral("/app_config.json")));

        // The user's own proxy, set while the application runs unconnected: quitting leaves it
        // as it is and runs no proxy tool at all.
        const int callsBeforeQuit = bundle.gsettingsCalls().size();
        bundle.setGsetting(kProxySchema, QStringLiteral("mode"), QStringLiteral("'manual'"));
        QVERIFY(::kill(pid_t(first.processId()), signalNumber) == 0);
        QVERIFY(finishes(first, 60000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(bundle.gsetting(kProxySchema, QStringLiteral("mode")), QStringLiteral("'manual'"));
        QCOMPARE(bundle.gsettingsCalls().size(), callsBeforeQuit);
        QVERIFY(bundle.corePids().isEmpty());
    }

    // Desktop tools that never return (a wedged session bus): start-up goes on once each call's
    // time is up, and a SIGTERM still ends the application, through the quit deadline when the
    // orderly quit itself is stuck in such tools; no tool is left behind.
    void hungDesktopToolsNeitherBlockStartUpNorQuit() {
        TestBundle bundle;
        QVERIFY(bundle.isValid());
        prepareRuntimeDir(bundle);
        const QString hungTools = bundle.root() + QStringLiteral("/hung-tools");
        QVERIFY(QDir().mkpath(hungTools));
        const QString pids = hungTools + QStringLiteral("/pids");
        for (const QString& tool : {QStringLiteral("gsettings"), QStringLiteral("kwriteconfig5")})
            TestSupport::writeScript(
                hungTools + '/' + tool,
                QStringLiteral("#!/bin/sh\necho $$ >> '%1'\nexec sleep 1000\n").arg(pids));

        QProcess first;
        QProcessEnvironment env = applicationEnvironment(bundle);
        env.insert(QStringLiteral("PATH"), hungTools + QStringLiteral(":/usr/bin:/bin"));
        first.setProcessEnvironment(env);
        first.setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(TestSupport::stageDir() + QStringLiteral("/bin/vantrel-vpn"), {});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socketPath(bundle)), 30000);
        // Answering a second launch needs the event loop: start-up got past the hung tool.
        QCOMPARE(launchAgain(bundle), 0);
        QVERIFY(QFileInfo::exists(pids));

        QVERIFY(::kill(pid_t(first.processId()), SIGTERM) == 0);
        QVERIFY(finishes(first, 60000));
        // A run that never switched the proxies on runs no proxy tool when it quits, so the
        // quit is orderly; had it met a hung tool, the deadline would have ended it.
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QVERIFY(first.exitCode() == 0 || first.exitCode() == TerminationSignals::deadlineExitCode);
        QFile started(pids);
        QVERIFY(started.open(QIODevice::ReadOnly));
        for (const QByteArray& pid : started.readAll().split('\n')) {
            if (!pid.isEmpty())
                QTRY_VERIFY2(!TestSupport::isRunning(pid.toLongLong()), pid.constData());
        }
        QVERIFY(bundle.corePids().isEmpty());
    }

    // A connected run whose proxy tools hang at quit (the session bus wedged after connecting):
    // the core is stopped first, then the quit deadline ends the stuck proxy reset, kills the
    // tools and exits with its own code.
    void quitDeadlineEndsAConnectedRunStuckInProxyTools() {
        TestBundle bundle;
        QVERIFY(bundle.isValid());
        // The application uses its fixed ports.
        for (quint16 port : {quint16(17890), quint16(19090)}) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, port))
                QSKIP("port 17890 or 19090 is in use on this machine");
        }
        prepareRuntimeDir(bundle);
        QFile defaults(bundle.layout().resource(QStringLiteral("default_config.json")));
        QVERIFY(defaults.open(QIODevice::ReadOnly));
        QJsonObject settings = QJsonDocument::fromJson(defaults.readAll()).object();
        settings.insert(QStringLiteral("autoConnect"), true);
        settings.insert(QStringLiteral("tunEnabled"), false);
        QVERIFY(QDir().mkpath(bundle.dataDir()));
        ::chmod(QFile::encodeName(bundle.dataDir()).constData(), 0700);
        QFile stored(bundle.dataDir() + QStringLiteral("/app_config.json"));
        QVERIFY(stored.open(QIODevice::WriteOnly));
        stored.write(QJsonDocument(settings).toJson());
        stored.close();

        QProcess first;
        startApplication(first, bundle);
        QVERIFY(first.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(
            bundle.gsetting(kProxySchema + QStringLiteral(".http"), QStringLiteral("port")),
            QStringLiteral("17890"), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(bundle.gsetting(kProxySchema, QStringLiteral("mode")),
                                  QStringLiteral("'manual'"), 30000);
        QCOMPARE(bundle.corePids().size(), 1);

        // From now on gsettings never returns; it takes the fake's place in one rename.
        const QString pids = bundle.root() + QStringLiteral("/hung-pids");
        const QString hung = TestSupport::writeScript(
            bundle.root() + QStringLiteral("/hung-gsettings"),
            QStringLiteral("#!/bin/sh\necho $$ >> '%1'\nexec sleep 1000\n").arg(pids));
        QVERIFY(::rename(QFile::encodeName(hung).constData(),
                         QFile::encodeName(bundle.toolsDir() + QStringLiteral("/gsettings"))
                             .constData()) == 0);

        QVERIFY(::kill(pid_t(first.processId()), SIGTERM) == 0);
        QVERIFY(finishes(first, 60000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), TerminationSignals::deadlineExitCode);
        QVERIFY(bundle.corePids().isEmpty());
        QFile started(pids);
        QVERIFY(started.open(QIODevice::ReadOnly));
        const QList<QByteArray> hungPids = started.readAll().split('\n');
        QVERIFY(!hungPids.first().isEmpty());
        for (const QByteArray& pid : hungPids) {
            if (!pid.isEmpty())
                QTRY_VERIFY2(!TestSupport::isRunning(pid.toLongLong()), pid.constData());
        }
    }

    // The lock and the socket live in a private folder of this user: $XDG_RUNTIME_DIR when it
    // is one, else a folder below the user's cache folder, never a name in the shared temporary
    // folder that another user could create first.
    void instanceNamesLiveInAPrivateFolder_data() {
        QTest::addColumn<QString>("runtimeDir"); // "private", "shared", "unset"
        QTest::addColumn<bool>("usesRuntimeDir");
        QTest::newRow("private runtime folder") << "private" << true;
        QTest::newRow("runtime folder others may write to") << "shared" << false;
        QTest::newRow("no runtime folder") << "unset" << false;
    }
    void instanceNamesLiveInAPrivateFolder() {
        QFETCH(QString, runtimeDir);
        QFETCH(bool, usesRuntimeDir);
        QTemporaryDir root;
        const QString run = root.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(run));
        QVERIFY(QFile::setPermissions(run, runtimeDir == QLatin1String("shared")
                                               ? QFileDevice::Permissions(0x7777)
                                               : QFile::ReadOwner | QFile::WriteOwner |
                                                     QFile::ExeOwner));
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
        if (runtimeDir == QLatin1String("unset"))
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(run));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(root.filePath(QStringLiteral("cache"))));
        const QString path = SingleInstance::socketPathForCurrentUser();
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
        qputenv("XDG_CACHE_HOME", savedCache);

        const QString folder = QFileInfo(path).absolutePath();
        QCOMPARE(folder == run, usesRuntimeDir);
        if (!usesRuntimeDir)
            QCOMPARE(folder, root.filePath(QStringLiteral("cache/vantrel-vpn")));
        QVERIFY(!folder.startsWith(QDir::tempPath() + '/') || folder.startsWith(root.path()));
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(folder).constData(), &info), 0);
        QCOMPARE(info.st_uid, ::geteuid());
        QCOMPARE(info.st_mode & 0777, mode_t(0700));

        SingleInstance instance(path);
        QVERIFY(instance.claim());
    }

    // A lock and a socket that another user owns stand for no instance of ours.
    void foreignLockIsNotTheRunningInstance() {
        if (::geteuid() != 0)
            QSKIP("only root can put another user's files into a private folder");
        QTemporaryDir root;
        const QString path = root.filePath(QStringLiteral("vantrel-vpn-0"));
        SingleInstance squatter(path);
        QVERIFY(squatter.claim());
        for (const QString& file : {path, path + QStringLiteral(".lock")})
            QCOMPARE(::lchown(QFile::encodeName(file).constData(), 65534, 65534), 0);

        auto ours = std::make_unique<SingleInstance>(path);
        QVERIFY(ours->claim());
        struct stat info {};
        QCOMPARE(::lstat(QFile::encodeName(path + QStringLiteral(".lock")).constData(), &info), 0);
        QCOMPARE(info.st_uid, ::geteuid());
        ours.reset();
    }

    void anythingButHiddenPrintsUsage_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("help") << QStringList{QStringLiteral("--help")};
        QTest::newRow("twice hidden")
            << QStringList{QStringLiteral("--hidden"), QStringLiteral("--hidden")};
        QTest::newRow("a toolkit option")
            << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")};
        QTest::newRow("a file") << QStringList{QStringLiteral("settings.json")};
    }
    void anythingButHiddenPrintsUsage() {
        QFETCH(QStringList, arguments);
        TestBundle bundle;
        QVERIFY(bundle.isValid());
        QProcess process;
        process.setProcessEnvironment(applicationEnvironment(bundle));
        process.start(TestSupport::stageDir() + QStringLiteral("/bin/vantrel-vpn"), arguments);
        QVERIFY(finishes(process, 60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 2);
        QCOMPARE(QString::fromUtf8(process.readAllStandardError()),
                 QStringLiteral("用法: vantrel-vpn [--hidden]\n"));
        QVERIFY(process.readAllStandardOutput().isEmpty());
        QVERIFY(!QFileInfo::exists(bundle.dataDir())); // nothing was started
    }

    void secondLaunchAsksTheRunningInstanceToRaise() {
        TestBundle bundle;
        QVERIFY(bundle.isValid());
        prepareRuntimeDir(bundle);
        // This test process plays the running instance, under the name the application derives.
        SingleInstance running(socketPath(bundle));
        QVERIFY(running.claim());
        QSignalSpy raised(&running, &SingleInstance::raiseRequested);

        QProcess second;
        startApplication(second, bundle);
        QVERIFY(finishes(second, 60000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(raised.count(), 1);
        // It left before building a controller of its own.
        QVERIFY(!QFileInfo::exists(bundle.dataDir()));
    }
};

QTEST_GUILESS_MAIN(ShellProcessTest)
#include "tst_shell_process.moc"
