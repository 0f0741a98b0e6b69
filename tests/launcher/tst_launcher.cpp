// The launcher as a real program: a copy of the staged binary in a temporary folder, next to a
// shell script standing in for the core that records what it was given and what reached it.
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
constexpr uid_t nobody = 65534;
constexpr int waitMs = 5000;

// Behaviour is chosen by files beside the script, never by its environment: "exit-now" ends
// it at once with 5, "keep-running" makes it record SIGTERM/SIGINT and go on; otherwise it
// records the signal and dies of it. It gives up by itself after about 30 s so that a failed
// test never leaves it behind for long. The folder is written in: run through a descriptor, the
// script cannot learn it from $0. It records into a folder anybody may write to, as it may run
// as nobody, and leaves a file of its own in its working folder.
QString fakeCoreScript(const QString& folder) {
    return QStringLiteral(R"sh(#!/bin/sh
dir='%1'
rec="$dir/records/record"
# Listed before the redirection below takes descriptor 1.
fds=$(for f in /proc/$$/fd/*; do echo "fd=${f##*/} $(readlink "$f")"; done)
{
    echo "pid=$$"
    echo "ruid=$(id -ru)"
    echo "euid=$(id -u)"
    for arg in "$@"; do echo "arg=$arg"; done
    env | sed 's/^/env=/'
    grep -E '^(Uid|Gid|Groups|Cap[A-Za-z]+):' /proc/$$/status | tr -s '\t ' '  ' |
        sed 's/^/status-/; s/: */=/; s/ *$//'
    echo "umask=$(umask)"
    echo "cwd=$(pwd -P)"
    echo "$fds"
    echo written > written-by-core
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

bool changeOwner(const QString& path, uid_t owner) {
    return ::lchown(QFile::encodeName(path).constData(), owner, owner == 0 ? 0 : 65534) == 0;
}

// A folder (mode 0755, so that nobody reaches it too) holding a copy of the launcher and a
// fake core, and a data folder with its configuration (modes 0700 and 0600) owned by `owner`,
// the user who is going to run the launcher.
struct Bundle {
    explicit Bundle(const QString& base) : dir(base + QStringLiteral("/vantrel-launcher-XXXXXX")) {
        folder = dir.path();
        helper = folder + QStringLiteral("/vantrel-helper");
        core = folder + QStringLiteral("/vantrel-core");
        dataDir = folder + QStringLiteral("/data");
        config = dataDir + QStringLiteral("/config.yaml");
    }
    bool create(uid_t owner = 0) {
        const QString records = folder + QStringLiteral("/records");
        if (!dir.isValid() || !QDir().mkpath(dataDir) || !QDir().mkpath(records) ||
            !QFile::copy(TestSupport::stagedHelper(), helper) ||
            TestSupport::writeScript(core, fakeCoreScript(folder)).isEmpty())
            return false;
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.close();
        return ::chmod(QFile::encodeName(folder).constData(), 0755) == 0 &&
               ::chmod(QFile::encodeName(records).constData(), 0777) == 0 &&
               ::chmod(QFile::encodeName(helper).constData(), 0755) == 0 &&
               ::chmod(QFile::encodeName(dataDir).constData(), 0700) == 0 &&
               ::chmod(QFile::encodeName(config).constData(), 0600) == 0 &&
               changeOwner(dataDir, owner) && changeOwner(config, owner);
    }
    void touch(const QString& name) const {
        QFile file(folder + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QString record() const {
        QFile file(folder + QStringLiteral("/records/record"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QStringList recorded(const QString& key) const {
        QStringList values;
        for (const QString& line : record().split(QLatin1Char('\n')))
            if (line.startsWith(key + QLatin1Char('=')))
                values << line.mid(key.size() + 1);
        return values;
    }
    bool coreStarted() const { return QFile::exists(folder + QStringLiteral("/records/record")); }
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
    void refusedWithoutCapabilities_data();
    void refusedWithoutCapabilities();
    void runsCoreAsCallerWithNetworkCapabilities_data();
    void runsCoreAsCallerWithNetworkCapabilities();
    void refusesArguments_data();
    void refusesArguments();
    void closedStandardDescriptors_data();
    void closedStandardDescriptors();
    void builtHardened();
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
    // Everything past the checks needs a root-owned core and a launcher holding capabilities,
    // so the tests run as root (as CI does); cases for an ordinary user switch to nobody with
    // setpriv.
    void requireRoot() const {
        if (::geteuid() != 0)
            QSKIP("needs root: the core must be owned by root and the launcher hold capabilities");
    }
    void requireNobody() const {
        requireRoot();
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
    }

    QString m_base;
    bool m_capabilitiesWork = false;
};

void LauncherTest::initTestCase() {
    QVERIFY2(QFile::exists(TestSupport::stagedHelper()), qPrintable(TestSupport::stagedHelper()));
    // File capabilities mean nothing on a nosuid mount; fall back to the build tree.
    const QString buildTree = QDir(TestSupport::stageDir() + QStringLiteral("/..")).absolutePath();
    m_base = QDir::tempPath();
    for (const QString& candidate : {QDir::tempPath(), buildTree}) {
        if (!mountedNosuid(candidate)) {
            m_base = candidate;
            m_capabilitiesWork = true;
            break;
        }
    }
    if (!m_capabilitiesWork)
        qWarning("temporary folder and build tree are mounted nosuid: capability cases skip");
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

void LauncherTest::refusedWithoutCapabilities_data() {
    QTest::addColumn<mode_t>("mode");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no file capabilities") << mode_t(0755) << QStringLiteral("not authorised");
    QTest::newRow("set-user-ID root instead")
        << mode_t(04755) << QStringLiteral("must not be set-user-ID");
}

void LauncherTest::refusedWithoutCapabilities() {
    requireNobody();
    QFETCH(mode_t, mode);
    QFETCH(QString, reason);
    Bundle bundle(m_base);
    QVERIFY(bundle.create(nobody));
    setMode(bundle.helper, mode);
    Launcher launcher;
    QVERIFY(launcher.start(bundle.helper, {bundle.dataDir, bundle.config}, true));
    QCOMPARE(launcher.finish(), 1);
    const QString message = QString::fromLocal8Bit(launcher.process.readAllStandardError());
    QVERIFY2(message.contains(reason) && message.count(QLatin1Char('\n')) == 1,
             qPrintable(message));
    QVERIFY(!bundle.coreStarted());
}

void LauncherTest::runsCoreAsCallerWithNetworkCapabilities_data() {
    QTest::addColumn<bool>("asNobody");
    QTest::newRow("an ordinary user") << true;
    QTest::newRow("root") << false;
}

void LauncherTest::runsCoreAsCallerWithNetworkCapabilities() {
    QFETCH(bool, asNobody);
    requireNobody();
    if (!m_capabilitiesWork)
        QSKIP("no folder without nosuid to give a copy file capabilities in");
    Bundle bundle(m_base);
    QVERIFY(bundle.create(asNobody ? nobody : 0));
    QVERIFY(::chown(QFile::encodeName(bundle.helper).constData(), 0, 65534) == 0);
    setMode(bundle.helper, 0750);
    QVERIFY(TestSupport::setTunCapabilities(bundle.helper));
    // A descriptor of the caller's own that must not reach the core.
    const QString marker = bundle.folder + QStringLiteral("/caller-marker");
    QVERIFY(QFile(marker).open(QIODevice::WriteOnly));

    Launcher launcher;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VANTREL_CALLER_CHOICE"), QStringLiteral("steer"));
    launcher.process.setProcessEnvironment(environment);
    const QString shell = QStringLiteral("exec 7<\"$0\"; exec \"$@\"");
    const QStringList setpriv = {QStringLiteral("--reuid=nobody"),
                                 QStringLiteral("--regid=nogroup"),
                                 QStringLiteral("--clear-groups")};
    QStringList arguments = {QStringLiteral("-c"), shell, marker};
    if (asNobody)
        arguments << QStandardPaths::findExecutable(QStringLiteral("setpriv")) << setpriv;
    arguments << bundle.helper << bundle.dataDir << bundle.config;
    QVERIFY(launcher.start(QStringLiteral("/bin/sh"), arguments));
    QTRY_VERIFY_WITH_TIMEOUT(bundle.coreReady(), waitMs);

    const QString id = asNobody ? QStringLiteral("65534") : QStringLiteral("0");
    const QString ids = QStringList(4, id).join(QLatin1Char(' '));
    QCOMPARE(bundle.recorded(QStringLiteral("status-Uid")), QStringList{ids});
    QCOMPARE(bundle.recorded(QStringLiteral("status-Gid")), QStringList{ids});
    // The caller's supplementary groups: none for nobody, the test's own for root.
    const QString groups =
        asNobody ? QString() : TestSupport::processStatus(::getpid(), QStringLiteral("Groups"));
    QCOMPARE(bundle.recorded(QStringLiteral("status-Groups")), QStringList{groups});
    // Bits 10, 12 and 13: CAP_NET_BIND_SERVICE, CAP_NET_ADMIN, CAP_NET_RAW. Only a root caller
    // can lose the rest of the bounding set too.
    const QStringList three{QStringLiteral("0000000000003400")};
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
        QCOMPARE(bundle.recorded(QStringLiteral("status-") + QLatin1String(set)), three);
    if (!asNobody)
        QCOMPARE(bundle.recorded(QStringLiteral("status-CapBnd")), three);

    QCOMPARE(bundle.recorded(QStringLiteral("umask")), QStringList{QStringLiteral("0077")});
    QCOMPARE(bundle.recorded(QStringLiteral("cwd")), QStringList{bundle.dataDir});
    QCOMPARE(
        bundle.recorded(QStringLiteral("arg")),
        (QStringList{QStringLiteral("-d"), bundle.dataDir, QStringLiteral("-f"), bundle.config}));
    for (const QString& fd : bundle.recorded(QStringLiteral("fd")))
        QVERIFY2(!fd.endsWith(marker), qPrintable(fd));
    const QStringList variables = bundle.recorded(QStringLiteral("env"));
    QVERIFY2(variables.contains(minimalPath), qPrintable(variables.join(QLatin1Char(' '))));
    for (const QString& variable : variables) {
        QVERIFY2(!variable.startsWith(QStringLiteral("VANTREL_CALLER_CHOICE=")) &&
                     !variable.startsWith(QStringLiteral("HOME=")),
                 qPrintable(variable));
    }
    // What the core writes is the caller's and nobody else's.
    const QFileInfo written(bundle.dataDir + QStringLiteral("/written-by-core"));
    QCOMPARE(written.ownerId(), id.toUInt());
    QCOMPARE(written.permissions() &
                 ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
             QFile::Permissions());

    launcher.process.closeWriteChannel();
    QCOMPARE(launcher.finish(), 0);
    QVERIFY(processGone(bundle.recorded(QStringLiteral("pid")).value(0)));
}

enum class ArgumentFlaw {
    DataOwnedByOther,
    DataIsLink,
    LinkAboveData,
    DataWritableByGroup,
    DataWritableByOthers,
    DataIsFile,
    DataMissing,
    DataWithDotDot,
    DataWithTrailingSlash,
    ConfigOutside,
    ConfigInSubfolder,
    ConfigIsLink,
    ConfigWritableByGroup,
    ConfigOwnedByOther,
    ConfigMissing,
    ConfigIsFifo,
    ConfigIsFolder,
};
Q_DECLARE_METATYPE(ArgumentFlaw)

void LauncherTest::refusesArguments_data() {
    QTest::addColumn<ArgumentFlaw>("flaw");
    QTest::addColumn<QString>("reason");
    const QString notOwned = QStringLiteral("is not owned by the caller");
    const QString writable = QStringLiteral("is writable by group or others");
    const QString link = QStringLiteral("has a symbolic link in its path");
    const QString outside = QStringLiteral("is not directly inside the data folder");
    QTest::newRow("data folder owned by root") << ArgumentFlaw::DataOwnedByOther << notOwned;
    QTest::newRow("data folder is a link") << ArgumentFlaw::DataIsLink << link;
    QTest::newRow("a link above the data folder") << ArgumentFlaw::LinkAboveData << link;
    QTest::newRow("data folder writable by group") << ArgumentFlaw::DataWritableByGroup << writable;
    QTest::newRow("data folder writable by others")
        << ArgumentFlaw::DataWritableByOthers << writable;
    QTest::newRow("data folder is a file")
        << ArgumentFlaw::DataIsFile << QStringLiteral("is not a directory");
    QTest::newRow("data folder missing")
        << ArgumentFlaw::DataMissing << QStringLiteral("No such file or directory");
    QTest::newRow("data folder with ..")
        << ArgumentFlaw::DataWithDotDot << QStringLiteral("is not a plain absolute path");
    QTest::newRow("data folder with a trailing /")
        << ArgumentFlaw::DataWithTrailingSlash << QStringLiteral("is not a plain absolute path");
    QTest::newRow("configuration outside the folder") << ArgumentFlaw::ConfigOutside << outside;
    QTest::newRow("configuration in a sub-folder") << ArgumentFlaw::ConfigInSubfolder << outside;
    QTest::newRow("configuration is a link")
        << ArgumentFlaw::ConfigIsLink << QStringLiteral("is a symbolic link");
    QTest::newRow("configuration writable by group")
        << ArgumentFlaw::ConfigWritableByGroup << writable;
    QTest::newRow("configuration owned by root") << ArgumentFlaw::ConfigOwnedByOther << notOwned;
    QTest::newRow("configuration missing")
        << ArgumentFlaw::ConfigMissing << QStringLiteral("No such file or directory");
    QTest::newRow("configuration is a FIFO")
        << ArgumentFlaw::ConfigIsFifo << QStringLiteral("is not a regular file");
    QTest::newRow("configuration is a folder")
        << ArgumentFlaw::ConfigIsFolder << QStringLiteral("is not a regular file");
}

void LauncherTest::refusesArguments() {
    // As an ordinary user, with a launcher that could start the core: only the arguments stop it.
    requireNobody();
    QFETCH(ArgumentFlaw, flaw);
    QFETCH(QString, reason);
    Bundle bundle(m_base);
    QVERIFY(bundle.create(nobody));
    if (m_capabilitiesWork) {
        QVERIFY(::chown(QFile::encodeName(bundle.helper).constData(), 0, 65534) == 0);
        setMode(bundle.helper, 0750);
        QVERIFY(TestSupport::setTunCapabilities(bundle.helper));
    }
    QString dataDir = bundle.dataDir;
    QString config = bundle.config;
    QString named = config; // the path the message names
    const auto makeFile = [](const QString& path) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(changeOwner(path, nobody));
        setMode(path, 0600);
    };
    switch (flaw) {
    case ArgumentFlaw::DataOwnedByOther:
        QVERIFY(changeOwner(dataDir, 0));
        named = dataDir;
        break;
    case ArgumentFlaw::DataIsLink:
        dataDir = bundle.folder + QStringLiteral("/data-link");
        QVERIFY(QFile::link(bundle.dataDir, dataDir));
        config = dataDir + QStringLiteral("/config.yaml");
        named = dataDir;
        break;
    case ArgumentFlaw::LinkAboveData:
        QVERIFY(QFile::link(bundle.folder, bundle.folder + QStringLiteral("/above")));
        dataDir = bundle.folder + QStringLiteral("/above/data");
        config = dataDir + QStringLiteral("/config.yaml");
        named = dataDir;
        break;
    case ArgumentFlaw::DataWritableByGroup:
        setMode(dataDir, 0770);
        named = dataDir;
        break;
    case ArgumentFlaw::DataWritableByOthers:
        setMode(dataDir, 0703);
        named = dataDir;
        break;
    case ArgumentFlaw::DataIsFile:
        dataDir = bundle.config;
        config = dataDir + QStringLiteral("/config.yaml");
        named = dataDir;
        break;
    case ArgumentFlaw::DataMissing:
        dataDir = bundle.folder + QStringLiteral("/missing");
        config = dataDir + QStringLiteral("/config.yaml");
        named = dataDir;
        break;
    case ArgumentFlaw::DataWithDotDot:
        dataDir = bundle.dataDir + QStringLiteral("/../data");
        config = dataDir + QStringLiteral("/config.yaml");
        named = dataDir;
        break;
    case ArgumentFlaw::DataWithTrailingSlash:
        dataDir = bundle.dataDir + QStringLiteral("/");
        config = dataDir + QStringLiteral("config.yaml");
        named = dataDir;
        break;
    case ArgumentFlaw::ConfigOutside:
        config = bundle.folder + QStringLiteral("/config.yaml");
        makeFile(config);
        named = config;
        break;
    case ArgumentFlaw::ConfigInSubfolder:
        QVERIFY(QDir().mkdir(dataDir + QStringLiteral("/sub")));
        QVERIFY(changeOwner(dataDir + QStringLiteral("/sub"), nobody));
        config = dataDir + QStringLiteral("/sub/config.yaml");
        makeFile(config);
        named = config;
        break;
    case ArgumentFlaw::ConfigIsLink: {
        const QString real = dataDir + QStringLiteral("/real.yaml");
        makeFile(real);
        config = dataDir + QStringLiteral("/link.yaml");
        QVERIFY(QFile::link(real, config));
        QVERIFY(changeOwner(config, nobody));
        named = config;
        break;
    }
    case ArgumentFlaw::ConfigWritableByGroup:
        setMode(config, 0620);
        break;
    case ArgumentFlaw::ConfigOwnedByOther:
        QVERIFY(changeOwner(config, 0));
        break;
    case ArgumentFlaw::ConfigMissing:
        QVERIFY(QFile::remove(config));
        break;
    case ArgumentFlaw::ConfigIsFifo:
        QVERIFY(QFile::remove(config));
        QVERIFY(::mkfifo(QFile::encodeName(config).constData(), 0600) == 0);
        QVERIFY(changeOwner(config, nobody));
        break;
    case ArgumentFlaw::ConfigIsFolder:
        QVERIFY(QFile::remove(config));
        QVERIFY(QDir().mkdir(config));
        QVERIFY(changeOwner(config, nobody));
        setMode(config, 0700);
        break;
    }
    Launcher launcher;
    QVERIFY(launcher.start(bundle.helper, {dataDir, config}, true));
    QCOMPARE(launcher.finish(), 1);
    const QString message = QString::fromLocal8Bit(launcher.process.readAllStandardError());
    QVERIFY2(message.endsWith(QLatin1Char('\n')) && message.count(QLatin1Char('\n')) == 1,
             qPrintable(message));
    QVERIFY2(message.contains(named + QStringLiteral(": ")) && message.contains(reason),
             qPrintable(message));
    QVERIFY(!bundle.coreStarted());
}

void LauncherTest::closedStandardDescriptors_data() {
    QTest::addColumn<QString>("closing");
    QTest::addColumn<bool>("coreRuns");
    // Input on /dev/null ends at once: the launcher stops what it started and ends normally.
    QTest::newRow("input closed") << QStringLiteral("<&-") << false;
    QTest::newRow("output and error closed") << QStringLiteral(">&- 2>&-") << true;
}

void LauncherTest::closedStandardDescriptors() {
    requireRoot();
    QFETCH(QString, closing);
    QFETCH(bool, coreRuns);
    Bundle bundle(m_base);
    QVERIFY(bundle.create());
    Launcher launcher;
    QVERIFY(launcher.start(QStringLiteral("/bin/sh"),
                           {QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$@\" ") + closing,
                            bundle.helper, bundle.dataDir, bundle.config}));
    if (!coreRuns) {
        QCOMPARE(launcher.finish(), 0);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(bundle.coreReady(), waitMs);
    const QStringList fds = bundle.recorded(QStringLiteral("fd"));
    QVERIFY2(fds.contains(QStringLiteral("1 /dev/null")) &&
                 fds.contains(QStringLiteral("2 /dev/null")),
             qPrintable(fds.join(QLatin1Char(','))));
    launcher.process.closeWriteChannel();
    QCOMPARE(launcher.finish(), 0);
}

void LauncherTest::builtHardened() {
    const QString readelf = QStandardPaths::findExecutable(QStringLiteral("readelf"));
    if (readelf.isEmpty())
        QSKIP("readelf (binutils) is not installed");
    const auto read = [&](const QString& option) {
        QProcess process;
        process.start(readelf, {QStringLiteral("-W"), option, TestSupport::stagedHelper()});
        process.waitForFinished(waitMs);
        return QString::fromUtf8(process.readAllStandardOutput());
    };
    QVERIFY(read(QStringLiteral("-h")).contains(QStringLiteral("DYN (Position-Independent")));
    const QString dynamic = read(QStringLiteral("-d"));
    QVERIFY2(dynamic.contains(QStringLiteral("BIND_NOW")) &&
                 dynamic.contains(QStringLiteral("PIE")),
             qPrintable(dynamic));
    QVERIFY(read(QStringLiteral("-l")).contains(QStringLiteral("GNU_RELRO")));
    QVERIFY(read(QStringLiteral("--dyn-syms")).contains(QStringLiteral("__stack_chk_fail")));
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
