// TUN mode end to end as an ordinary user: as root, the test stages an authorised installation
// (the development core root's alone, the launcher with its file capabilities) and runs its own
// executable again as nobody, which drives the controller through connect, reconnect and
// disconnect and reads what the core's process holds.
#include "TestBundle.h"
#include "TestSupport.h"

#include "controller/MihomoManager.h"
#include "platform/linux/PkexecAuthorizer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

// Set only for the second run, as nobody: the folder holding the authorised core and launcher.
const char* const kLibexecVariable = "VANTREL_TEST_AUTHORISED_LIBEXEC";
const QString kTunConnected = QStringLiteral("虚拟网卡已连接");
const QString kConnected = QStringLiteral("已连接");
constexpr int kConnectTimeoutMs = 20'000;

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

qint64 parentOf(qint64 pid) {
    const QString fields = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    return fields.mid(fields.lastIndexOf(QLatin1Char(')')) + 2)
        .split(QLatin1Char(' '))
        .value(1)
        .toLongLong();
}

} // namespace

// The run as root: stages, then starts the run as nobody and reports its result.
class TunAsUserTest : public QObject {
    Q_OBJECT

private slots:
    void connectReconnectDisconnectAsNobody() {
        if (::geteuid() != 0)
            QSKIP("staging an authorised launcher needs root");
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
        TestBundle installation(QStringLiteral("data"), TestBundle::Placement::Installed);
        QVERIFY(installation.isValid());
        const QString helper = installation.layout().helperBinary;
        // root:nogroup 0750 with the capabilities, as authorising it for nobody leaves it.
        QVERIFY(installation.setHelperAuthorised(true));
        QCOMPARE(::chown(QFile::encodeName(helper).constData(), 0, 65534), 0);
        QVERIFY(TestSupport::setTunCapabilities(helper));
        QVERIFY(PkexecAuthorizer().launcherReady(installation.layout()));

        QProcess user;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kLibexecVariable), QFileInfo(helper).absolutePath());
        user.setProcessEnvironment(environment);
        user.setProcessChannelMode(QProcess::ForwardedChannels);
        user.setWorkingDirectory(QDir::tempPath());
        user.start(setpriv,
                   {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                    QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath()});
        QVERIFY(user.waitForFinished(240'000));
        QCOMPARE(user.exitStatus(), QProcess::NormalExit);
        QCOMPARE(user.exitCode(), 0);
    }
};

// The run as nobody.
class TunAsUserScenario : public QObject {
    Q_OBJECT

private slots:
    void connectReconnectDisconnect() {
        QVERIFY(::getuid() != 0);
        TestBundle bundle; // tools, ports and data folder of this user
        QVERIFY(bundle.isValid());
        ManagerEnvironment environment = bundle.environment();
        const QString libexec = qEnvironmentVariable(kLibexecVariable);
        environment.paths.bundle.coreBinary = libexec + QStringLiteral("/vantrel-core");
        environment.paths.bundle.helperBinary = libexec + QStringLiteral("/vantrel-helper");
        auto manager = std::make_unique<MihomoManager>(std::move(environment));
        QVERIFY(manager->tunPrivilegedReady());
        AppConfig config = manager->config();
        config.tunEnabled = true;
        manager->setConfig(config);

        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(manager->statusMessage(), kTunConnected);
        QCOMPARE(manager->errorMessage(), QString());
        checkCoreProcess(bundle);

        // Reconnect: TUN off and on again while connected.
        manager->toggleTun(false);
        QTRY_COMPARE_WITH_TIMEOUT(manager->statusMessage(), kConnected, kConnectTimeoutMs);
        manager->toggleTun(true);
        QTRY_COMPARE_WITH_TIMEOUT(manager->statusMessage(), kTunConnected, kConnectTimeoutMs);
        QVERIFY(manager->isConnected());
        checkCoreProcess(bundle);

        manager->disconnect();
        QVERIFY(!manager->isConnected());
        QVERIFY(bundle.corePids().isEmpty());

        // Nothing in the data folder belongs to anybody else.
        const QFileInfoList entries = QDir(bundle.dataDir())
                                          .entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                         QDir::Hidden | QDir::System);
        QVERIFY(!entries.isEmpty());
        for (const QFileInfo& entry : entries)
            QVERIFY2(entry.ownerId() == ::getuid(), qPrintable(entry.filePath()));

        // A core whose launcher was killed is this user's: the clean-up reaches it.
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        const qint64 launcher = parentOf(bundle.corePids().value(0));
        QVERIFY(launcher > 1);
        QCOMPARE(::kill(pid_t(launcher), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isConnected(), 10'000);
        QTRY_VERIFY_WITH_TIMEOUT(bundle.corePids().isEmpty(), 5000);
    }

private:
    // The core runs as this user, with the three network capabilities and nothing more.
    static void checkCoreProcess(const TestBundle& bundle) {
        const QList<qint64> pids = bundle.corePids();
        QCOMPARE(pids.size(), 1);
        const QString uid = QString::number(::getuid());
        QCOMPARE(TestSupport::processStatus(pids.first(), QStringLiteral("Uid")),
                 QStringList(4, uid).join(QLatin1Char(' ')));
        QCOMPARE(TestSupport::processStatus(pids.first(), QStringLiteral("Gid")),
                 QStringList(4, QString::number(::getgid())).join(QLatin1Char(' ')));
        for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
            QCOMPARE(TestSupport::processStatus(pids.first(), QLatin1String(set)),
                     QStringLiteral("0000000000003400"));
    }
};

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (qEnvironmentVariableIsSet(kLibexecVariable)) {
        TunAsUserScenario scenario;
        return QTest::qExec(&scenario, argc, argv);
    }
    TunAsUserTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tun_as_user.moc"
