// The launcher as a real program: a copy of the staged binary in a temporary folder, next to a
// shell script standing in for the core that records what it was given and what reached it.
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const QByteArray usageText = "Usage: vantrel-helper <data_dir> <config_yaml>\n";
const QString minimalPath = QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin");
constexpr int waitMs = 5000;

// Behaviour is chosen by files beside the script, never by its environment: "exit-now" ends
// it at once with 5, "keep-running" makes it record SIGTERM/SIGINT and go on; otherwise it
// records the signal and dies of it. It gives up by itself after about 30 s so that a failed
// test never leaves it behind for long. The folder is written in: run through a descriptor, the
// script cannot learn it from $0.
QString fakeCoreScript(const QString& folder) {
    return QStringLiteral(R"sh(#!/bin/sh
dir='%1'
rec="$dir/record"
{
    echo "pid=$$"
    echo "ruid=$(id -ru)"
    echo "euid=$(id -u)"
    for arg in "$@"; do echo "arg=$arg"; done
    env | sed 's/^/env=/'
} >> "$rec"
if [ -e "$dir/exit-now" ]; then echo ready >> "$rec"; exit 5; fi
if [ -e "$dir/keep-running" ]; then
    trap 'echo signal=TERM >> "$rec"' TERM
    trap 'echo signal=INT >> "$rec"' INT
else
    trap 'echo signal=TERM >> "$rec"; trap - TERM; kill -TERM $$' TERM
    trap 'echo signal=INT >> "$rec"; trap - INT; kill -INT $$' INT
fi
echo ready >> "$rec"
i=0
while [ $i -lt 300 ]; do
    sleep 0.1 </dev/null >/dev/null 2>&1 &
    wait $!
    i=$((i + 1))
done
)sh")
        .arg(folder);
}

bool mountedNosuid(const QString& path) {
    struct statvfs info;
    return statvfs(QFile::encodeName(path).constData(), &info) == 0 && (info.f_flag & ST_NOSUID);
}

void setMode(const QString& path, mode_t mode) {
    QVERIFY2(::chmod(QFile::encodeName(path).constData(), mode) == 0, qPrintable(path));
}

// A folder (mode 0755, so that nobody reaches it too) holding a copy of the launcher and a
// fake core.
struct Bundle {
    explicit Bundle(const QString& base) : dir(base + QStringLiteral("/vantrel-launcher-XXXXXX")) {
        folder = dir.path();
        helper = folder + QStringLiteral("/vantrel-helper");
        core = folder + QStringLiteral("/vantrel-core");
        dataDir = folder + QStringLiteral("/data");
        config = dataDir + QStringLiteral("/config.yaml");
    }
    bool create() {
        if (!dir.isValid() || !QDir().mkpath(dataDir) ||
            !QFile::copy(TestSupport::stagedHelper(), helper) ||
            TestSupport::writeScript(core, fakeCoreScript(folder)).isEmpty())
            return false;
        return ::chmod(QFile::encodeName(folder).constData(), 0755) == 0 &&
               ::chmod(QFile::encodeName(helper).constData(), 0755) == 0;
    }
    void touch(const QString& name) const {
        QFile file(folder + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QString record() const {
        QFile file(folder + QStringLiteral("/record"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QStringList recorded(const QString& key) const {
        QStringList values;
        for (const QString& line : record().split(QLatin1Char('\n')))
            if (line.startsWith(key + QLatin1Char('=')))
                values << line.mid(key.size() + 1);
        return values;
    }
    bool coreStarted() const { return QFile::exists(folder + QStringLiteral("/record")); }
    bool coreReady() const { return record().contains(QStringLiteral("\nready\n")); }

    QTemporaryDir dir;
    QString folder, helper, core, dataDir, config;
};

// Runs the launcher with its input a pipe. On scope exit the input is closed, so a failed test
// still lets the launcher stop its core.
struct Launcher {
    ~Launcher() {
        if (process.state() != QProcess::NotRunning) {
            process.closeWriteChannel();
            process.waitForFinished(waitMs);
        }
    }
    bool start(const QString& program, const QStringList& arguments, bool asNobody = false) {
        if (asNobody) {
            process.setProgram(QStandardPaths::findExecutable(QStringLiteral("setpriv")));
            process.setArguments(QStringList{QStringLiteral("--reuid=nobody"),
                                             QStringLiteral("--regid=nogroup"),
                                             QStringLiteral("--clear-groups"), program} +
                                 arguments);
        } else {
            process.setProgram(program);
            process.setArguments(arguments);
        }
        process.start();
        return process.waitForStarted(waitMs);
    }
    // Waits for the launcher's own end and returns its exit status, -1 if it does not end.
    int finish() {
        if (!process.waitForFinished(waitMs) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }
    void signal(int signo) { ::kill(static_cast<pid_t>(process.processId()), signo); }

    QProcess process;
};

bool processGone(const QString& pid) {
    return !pid.isEmpty() && ::kill(pid.toInt(), 0) == -1 && errno == ESRCH;
}

} // namespace

class LauncherTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void usage_data();
    void usage();
    void refusedWithoutSetuidBit();
    void runsCoreAsRootWithMinimalEnvironment();
    void endOfInputStopsCore_data();
    void endOfInputStopsCore();
    void forwardsSignalsAndWaitsForEndOfInput_data();
    void forwardsSignalsAndWaitsForEndOfInput();
    void endsWhenCoreEnds_data();
    void endsWhenCoreEnds();
    void findsCoreInItsOwnFolder_data();
    void findsCoreInItsOwnFolder();
    void refusesUntrustedCore_data();
    void refusesUntrustedCore();

private:
    // Everything past becoming root needs a root-owned core, so the tests run as root (as CI
    // does); cases for an ordinary user switch to nobody with setpriv.
    void requireRoot() const {
        if (::geteuid() != 0)
            QSKIP("needs root: the core must be owned by root and the launcher become root");
    }
    void requireNobody() const {
        requireRoot();
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
    }

    QString m_base;
    bool m_setuidWorks = false;
};

void LauncherTest::initTestCase() {
    QVERIFY2(QFile::exists(TestSupport::stagedHelper()), qPrintable(TestSupport::stagedHelper()));
    // The set-user-ID bit means nothing on a nosuid mount; fall back to the build tree.
    const QString buildTree = QDir(TestSupport::stageDir() + QStringLiteral("/..")).absolutePath();
    m_base = QDir::tempPath();
    for (const QString& candidate : {QDir::tempPath(), buildTree}) {
        if (!mountedNosuid(candidate)) {
            m_base = candidate;
            m_setuidWorks = true;
            break;
        }
    }
    if (!m_setuidWorks)
        qWarning("temporary folder and build tree are mounted nosuid: set-user-ID cases skip");
}

void LauncherTest::usage_data() {
    QTest::addColumn<QStringList>("arguments");
    const QString absolute = QStringLiteral("/nonexistent/x");
    QTest::newRow("no arguments") << QStringList{};
    QTest::newRow("one argument") << QStringList{absolute};
    QTest::newRow("three arguments") << QStringList{absolute, absolute, absolute};
    QTest::newRow("relative data folder") << QStringList{QStringLiteral("data"), absolute};
    QTest::newRow("relative configuration")
        << QStringList{absolute, QStringLiteral("./config.yaml")};
    QTest::newRow("empty data folder") << QStringList{QString(), absolute};
}

void LauncherTest::usage() {
    QFETCH(QStringList, arguments);
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    Launcher launcher;
    QVERIFY(launcher.start(bundle.helper, arguments));
    QCOMPARE(launcher.finish(), 2);
    QCOMPARE(launcher.process.readAllStandardError(), usageText);
    QVERIFY(!bundle.coreStarted());
}

void LauncherTest::refusedWithoutSetuidBit() {
    requireNobody();
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    Launcher launcher;
    QVERIFY(launcher.start(bundle.helper, {bundle.dataDir, bundle.config}, true));
    QCOMPARE(launcher.finish(), 1);
    QVERIFY(launcher.process.readAllStandardError().startsWith("setuid"));
    QVERIFY(!bundle.coreStarted());
}

void LauncherTest::runsCoreAsRootWithMinimalEnvironment() {
    requireNobody();
    if (!m_setuidWorks)
        QSKIP("no folder without nosuid to place a set-user-ID copy in");
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    setMode(bundle.helper, 04755);
    Launcher launcher;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VANTREL_CALLER_CHOICE"), QStringLiteral("steer"));
    launcher.process.setProcessEnvironment(environment);
    QVERIFY(launcher.start(bundle.helper, {bundle.dataDir, bundle.config}, true));
    QTRY_VERIFY_WITH_TIMEOUT(bundle.coreReady(), waitMs);

    QCOMPARE(bundle.recorded(QStringLiteral("ruid")), QStringList{QStringLiteral("0")});
    QCOMPARE(bundle.recorded(QStringLiteral("euid")), QStringList{QStringLiteral("0")});
    QCOMPARE(
        bundle.recorded(QStringLiteral("arg")),
        (QStringList{QStringLiteral("-d"), bundle.dataDir, QStringLiteral("-f"), bundle.config}));
    const QStringList variables = bundle.recorded(QStringLiteral("env"));
    QVERIFY2(variables.contains(minimalPath), qPrintable(variables.join(QLatin1Char(' '))));
    for (const QString& variable : variables) {
        QVERIFY2(!variable.startsWith(QStringLiteral("VANTREL_CALLER_CHOICE=")) &&
                     !variable.startsWith(QStringLiteral("HOME=")),
                 qPrintable(variable));
    }

    launcher.process.closeWriteChannel();
    QCOMPARE(launcher.finish(), 0);
}

void LauncherTest::endOfInputStopsCore_data() {
    QTest::addColumn<bool>("ignoresTerm");
    QTest::newRow("core ends on SIGTERM") << false;
    QTest::newRow("core ignores SIGTERM") << true;
}

void LauncherTest::endOfInputStopsCore() {
    requireRoot();
    QFETCH(bool, ignoresTerm);
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    if (ignoresTerm)
        bundle.touch(QStringLiteral("keep-running"));
    Launcher launcher;
    QVERIFY(launcher.start(bundle.helper, {bundle.dataDir, bundle.config}));
    QTRY_VERIFY_WITH_TIMEOUT(bundle.coreReady(), waitMs);

    // Data on the input is only drained.
    launcher.process.write(QByteArray(100, 'x') + "\nquit\n");
    QVERIFY(launcher.process.waitForBytesWritten(waitMs));
    QTest::qWait(300);
    QCOMPARE(launcher.process.state(), QProcess::Running);
    QVERIFY(bundle.recorded(QStringLiteral("signal")).isEmpty());

    QElapsedTimer elapsed;
    elapsed.start();
    launcher.process.closeWriteChannel();
    QCOMPARE(launcher.finish(), 0);
    QVERIFY(elapsed.elapsed() < waitMs);
    QCOMPARE(bundle.recorded(QStringLiteral("signal")), QStringList{QStringLiteral("TERM")});
    QVERIFY(processGone(bundle.recorded(QStringLiteral("pid")).value(0)));
}

void LauncherTest::forwardsSignalsAndWaitsForEndOfInput_data() {
    QTest::addColumn<int>("signo");
    QTest::addColumn<QString>("name");
    QTest::newRow("SIGTERM") << SIGTERM << QStringLiteral("TERM");
    QTest::newRow("SIGINT") << SIGINT << QStringLiteral("INT");
}

void LauncherTest::forwardsSignalsAndWaitsForEndOfInput() {
    requireRoot();
    QFETCH(int, signo);
    QFETCH(QString, name);
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    bundle.touch(QStringLiteral("keep-running"));
    Launcher launcher;
    QVERIFY(launcher.start(bundle.helper, {bundle.dataDir, bundle.config}));
    QTRY_VERIFY_WITH_TIMEOUT(bundle.coreReady(), waitMs);

    launcher.signal(signo);
    QTRY_COMPARE_WITH_TIMEOUT(bundle.recorded(QStringLiteral("signal")), QStringList{name}, waitMs);
    QTest::qWait(300);
    QCOMPARE(launcher.process.state(), QProcess::Running);

    launcher.process.closeWriteChannel();
    QCOMPARE(launcher.finish(), 0);
}

enum class CoreEnd { OnItsOwn, ByForwardedSignal, CannotExecute };
Q_DECLARE_METATYPE(CoreEnd)

void LauncherTest::endsWhenCoreEnds_data() {
    QTest::addColumn<CoreEnd>("end");
    QTest::newRow("core exits on its own") << CoreEnd::OnItsOwn;
    QTest::newRow("core dies of the forwarded SIGTERM") << CoreEnd::ByForwardedSignal;
    QTest::newRow("core cannot be executed") << CoreEnd::CannotExecute;
}

void LauncherTest::endsWhenCoreEnds() {
    requireRoot();
    QFETCH(CoreEnd, end);
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    if (end == CoreEnd::OnItsOwn)
        bundle.touch(QStringLiteral("exit-now"));
    if (end == CoreEnd::CannotExecute)
        setMode(bundle.core, 0644);
    Launcher launcher;
    QVERIFY(launcher.start(bundle.helper, {bundle.dataDir, bundle.config}));
    if (end == CoreEnd::ByForwardedSignal) {
        QTRY_VERIFY_WITH_TIMEOUT(bundle.coreReady(), waitMs);
        launcher.signal(SIGTERM);
    }

    // The input stays open throughout.
    QCOMPARE(launcher.finish(), 3);
    if (end == CoreEnd::CannotExecute) {
        QVERIFY(launcher.process.readAllStandardError().startsWith("execv"));
        QVERIFY(!bundle.coreStarted());
    } else {
        QVERIFY(bundle.coreReady());
    }
}

void LauncherTest::findsCoreInItsOwnFolder_data() {
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("started from another folder") << false;
    QTest::newRow("started through a link in another folder") << true;
}

void LauncherTest::findsCoreInItsOwnFolder() {
    requireRoot();
    QFETCH(bool, throughLink);
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    // Another folder with a core of its own, which must never run.
    Bundle elsewhere(m_base);
    QVERIFY(elsewhere.create());
    QString program = bundle.helper;
    if (throughLink) {
        program = elsewhere.folder + QStringLiteral("/link-to-helper");
        QVERIFY(QFile::link(bundle.helper, program));
    }
    Launcher launcher;
    launcher.process.setWorkingDirectory(elsewhere.folder);
    QVERIFY(launcher.start(program, {bundle.dataDir, bundle.config}));
    QTRY_VERIFY_WITH_TIMEOUT(bundle.coreReady(), waitMs);
    QVERIFY(!elsewhere.coreStarted());
    launcher.process.closeWriteChannel();
    QCOMPARE(launcher.finish(), 0);
}

enum class CoreFlaw { Missing, OwnedByOther, WritableByOthers, WritableByGroup, Link, Folder };
Q_DECLARE_METATYPE(CoreFlaw)

void LauncherTest::refusesUntrustedCore_data() {
    QTest::addColumn<CoreFlaw>("flaw");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << CoreFlaw::Missing << QStringLiteral("No such file or directory");
    QTest::newRow("owned by nobody")
        << CoreFlaw::OwnedByOther << QStringLiteral("is not owned by root");
    QTest::newRow("writable by others")
        << CoreFlaw::WritableByOthers << QStringLiteral("is writable by group or others");
    QTest::newRow("writable by group")
        << CoreFlaw::WritableByGroup << QStringLiteral("is writable by group or others");
    QTest::newRow("replaced by a link to a trusted core")
        << CoreFlaw::Link << QStringLiteral("is a symbolic link");
    QTest::newRow("a folder") << CoreFlaw::Folder << QStringLiteral("is not a regular file");
}

void LauncherTest::refusesUntrustedCore() {
    requireRoot();
    QFETCH(CoreFlaw, flaw);
    QFETCH(QString, reason);
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    const QByteArray core = QFile::encodeName(bundle.core);
    switch (flaw) {
    case CoreFlaw::Missing:
        QVERIFY(QFile::remove(bundle.core));
        break;
    case CoreFlaw::OwnedByOther:
        QVERIFY(::chown(core.constData(), 65534, 65534) == 0);
        break;
    case CoreFlaw::WritableByOthers:
        setMode(bundle.core, 0757);
        break;
    case CoreFlaw::WritableByGroup:
        setMode(bundle.core, 0775);
        break;
    case CoreFlaw::Link: {
        const QString trusted = bundle.folder + QStringLiteral("/trusted-core");
        QVERIFY(QFile::rename(bundle.core, trusted));
        QVERIFY(QFile::link(trusted, bundle.core));
        break;
    }
    case CoreFlaw::Folder:
        QVERIFY(QFile::remove(bundle.core));
        QVERIFY(QDir().mkdir(bundle.core));
        break;
    }
    Launcher launcher;
    QVERIFY(launcher.start(bundle.helper, {bundle.dataDir, bundle.config}));
    QCOMPARE(launcher.finish(), 1);
    const QString message = QString::fromLocal8Bit(launcher.process.readAllStandardError());
    QVERIFY2(message.endsWith(QLatin1Char('\n')) && message.count(QLatin1Char('\n')) == 1,
             qPrintable(message));
    QVERIFY2(message.contains(bundle.core) && message.contains(reason), qPrintable(message));
    QVERIFY(!bundle.coreStarted());
}

QTEST_GUILESS_MAIN(LauncherTest)
#include "tst_launcher.moc"
