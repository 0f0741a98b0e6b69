#include "TestBundle.h"

#include "config/SettingsStore.h"
#include "controller/CoreSupervisor.h"
#include "controller/MihomoManager.h"
#include "files/PrivateFiles.h"
#include "platform/linux/XdgAutostartLoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kConnectTimeoutMs = 20'000;

// While it lives, files of this process cannot grow past `bytes`: a write crossing the limit
// stops part-way with EFBIG (SIGXFSZ ignored), as one does on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        m_active = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    bool isActive() const { return m_active; }

private:
    rlimit m_saved{};
    void (*m_previousHandler)(int) = nullptr;
    bool m_active = false;
};

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

bool isRegularFile(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

AppConfig largeRecord() {
    AppConfig config = AppConfig::empty();
    config.deviceToken = QStringLiteral("token-that-must-survive");
    for (int index = 0; index < 200; ++index)
        config.customRules.append({QUuid::createUuid(), QStringLiteral("site%1.example").arg(index),
                                   CustomRuleAction::Proxy});
    return config;
}

// In system-proxy mode: TUN would first ask for authorisation.
std::unique_ptr<MihomoManager> makeManager(const TestBundle& bundle) {
    auto manager = std::make_unique<MihomoManager>(bundle.environment());
    AppConfig config = manager->config();
    config.tunEnabled = false;
    manager->setConfig(config);
    return manager;
}

} // namespace

class DataFolderTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        const TestBundle bundle;
        QVERIFY2(bundle.isValid(), "the development core and the launcher must be staged");
    }

    // Each atomic write, cut short part-way: the previous file stays byte for byte, no
    // temporary file is left, and the caller hears of the failure where it reports failures.
    void writeFailingPartWayKeepsTheOldFile_data() {
        QTest::addColumn<QString>("file");
        QTest::newRow("settings") << QStringLiteral("app_config.json");
        QTest::newRow("core configuration") << QStringLiteral("config.yaml");
        QTest::newRow("login item") << QStringLiteral("com.vantrel.vpn.desktop");
    }
    void writeFailingPartWayKeepsTheOldFile() {
        QFETCH(QString, file);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("autostart"));
        QVERIFY(ensurePrivateFolder(folder));
        const QString path = QDir(folder).filePath(file);
        const QByteArray previous = "previous content, complete";
        writeBytes(path, previous);

        AppPaths paths;
        paths.dataDir = folder;
        const QString longProgram = QStringLiteral("/opt/") + QString(300, QLatin1Char('p'));
        {
            const FileSizeLimit limit(64);
            QVERIFY(limit.isActive());
            if (file == QLatin1String("app_config.json")) {
                QVERIFY(!SettingsStore(path, QString()).save(largeRecord()));
            } else if (file == QLatin1String("config.yaml")) {
                const CoreSupervisor supervisor(paths, QStringLiteral("/usr/bin/pkill"));
                const ControlResult result = supervisor.writeMihomoYAML(QString(4096, 'x'));
                QVERIFY(result.has_value());
                QVERIFY(!result->description.isEmpty());
            } else {
                XdgAutostartLoginItem(dir.path()).setRegistered(true, longProgram);
            }
        }
        QCOMPARE(readBytes(path), previous);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{file});

        // Without the limit the same write goes through.
        if (file == QLatin1String("app_config.json")) {
            const AppConfig record = largeRecord();
            QVERIFY(SettingsStore(path, QString()).save(record));
            QCOMPARE(SettingsStore(path, QString()).load(), record);
        }
    }

    // Links planted at every file the application writes into the data folder: each is
    // replaced by a regular file and its target keeps its content.
    void linksInTheDataFolderAreReplaced() {
        TestBundle bundle;
        bundle.useScriptCore(QStringLiteral("echo started\nexit 1"));
        QVERIFY(ensurePrivateFolder(bundle.dataDir()));
        const QStringList names = {"app_config.json", "config.yaml", "core.log", "device_id"};
        const QByteArray victimText = "{\"belongs\":\"to another program\"}";
        for (const QString& name : names) {
            const QString victim = bundle.root() + QStringLiteral("/victim-") + name;
            writeBytes(victim, victimText);
            QVERIFY(QFile::link(victim, bundle.dataDir() + '/' + name));
        }

        auto manager = makeManager(bundle);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
        manager->switchMode(ProxyMode::Global);
        const QString deviceId = manager->hardwareDeviceID();
        QVERIFY(!deviceId.contains(QLatin1String("belongs")));

        for (const QString& name : names) {
            const QString path = bundle.dataDir() + '/' + name;
            QVERIFY2(isRegularFile(path), qPrintable(name));
            QCOMPARE(readBytes(bundle.root() + QStringLiteral("/victim-") + name), victimText);
        }
        QVERIFY(readBytes(bundle.dataDir() + QStringLiteral("/core.log")).contains("started"));
        QCOMPARE(SettingsStore(bundle.dataDir() + QStringLiteral("/app_config.json"), QString())
                     .load()
                     .mode,
                 ProxyMode::Global);
    }

    // A data folder another user could change: nothing is written there and connecting fails
    // with the folder named.
    void unsafeDataFolderIsRefused_data() {
        QTest::addColumn<bool>("foreignOwner");
        QTest::newRow("writable by group after start-up") << false;
        QTest::newRow("owned by another user") << true;
    }
    void unsafeDataFolderIsRefused() {
        QFETCH(bool, foreignOwner);
        TestBundle bundle;
        QVERIFY(ensurePrivateFolder(bundle.dataDir()));
        const QString settings = bundle.dataDir() + QStringLiteral("/app_config.json");
        const QByteArray saved = AppConfigCodec::encode(AppConfig::empty());
        writeBytes(settings, saved);
        const QByteArray folder = QFile::encodeName(bundle.dataDir());
        if (foreignOwner) {
            if (::geteuid() != 0)
                QSKIP("handing the data folder to another user needs root");
            const passwd* nobody = ::getpwnam("nobody");
            QVERIFY(nobody);
            QCOMPARE(::chown(folder.constData(), nobody->pw_uid, nobody->pw_gid), 0);
        }
        auto manager = makeManager(bundle);
        if (!foreignOwner)
            QCOMPARE(::chmod(folder.constData(), 0770), 0);

        manager->switchMode(ProxyMode::Global);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
        QCOMPARE(manager->errorMessage(),
                 QStringLiteral("数据目录不安全，请检查权限: ") + bundle.dataDir());
        QVERIFY(!manager->isConnected());
        QVERIFY(bundle.corePids().isEmpty());
        QCOMPARE(readBytes(settings), saved);
        QCOMPARE(QDir(bundle.dataDir()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"app_config.json"});
    }
};

QTEST_MAIN(DataFolderTest)
#include "tst_data_folder.moc"
