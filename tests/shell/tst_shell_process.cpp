// The staged application as a real process over a throw-away home: termination signals end it
// in order, and a second launch hands over to the first and exits.
#include "SingleInstance.h"
#include "TestBundle.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
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

        // As if a crashed run had left the desktop proxy on: the terminate path switches it off.
        bundle.setGsetting(kProxySchema, QStringLiteral("mode"), QStringLiteral("'manual'"));
        QVERIFY(::kill(pid_t(first.processId()), signalNumber) == 0);
        QVERIFY(finishes(first, 60000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(bundle.gsetting(kProxySchema, QStringLiteral("mode")), QStringLiteral("'none'"));
        QVERIFY(bundle.corePids().isEmpty());
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
