// Importing an account from a share link: the controller's import against the development
// core, and the support tool that prepares the same settings file.
#include "../monitoring/RecordingServer.h"
#include "BareEnvironment.h"
#include "TestBundle.h"
#include "TestSupport.h"

#include "config/AccountImport.h"
#include "config/SettingsStore.h"
#include "controller/MihomoManager.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

const QString kDisconnected = QStringLiteral("未连接");
const QString kStarting = QStringLiteral("正在启动…");
const QString kConnected = QStringLiteral("已连接");
constexpr int kConnectTimeoutMs = 20'000;
const QString kUuid = QStringLiteral("0b7e2c4a-58d1-4f3e-a6c9-7d2e1f0a9b35");

QString shareLink(quint16 port, const QString& label = QStringLiteral("Alice")) {
    QString link = QStringLiteral("vless://") + kUuid + QStringLiteral("@127.0.0.1:") +
                   QString::number(port) +
                   QStringLiteral("?encryption=none&flow=xtls-rprx-vision&security=reality"
                                  "&sni=www.example.com&fp=chrome"
                                  "&pbk=yMnKy8zNzs_Q0dLT1NXW19jZ2tvc3d7f4OHi4-Tl5uc&sid=0123"
                                  "&spx=%2Fhome&type=tcp");
    if (!label.isEmpty())
        link += u'#' + label;
    return link;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Settings a user has made their own: rules, global mode, switches, a token, a label.
AppConfig customised(AppConfig config, const QString& quotaBaseUrl) {
    config.apiBaseURL = quotaBaseUrl;
    config.deviceToken = QStringLiteral("old-token");
    config.accountLabel = QStringLiteral("Bob");
    config.serverIP = QStringLiteral("127.0.0.1");
    config.serverPort = TestSupport::freeLocalPort(); // nothing listens there
    config.mode = ProxyMode::Global;
    config.tunEnabled = false;
    config.allowLan = false;
    config.bypassAppleCN = false;
    config.blockQuic = true;
    config.customRules = {
        {QUuid::createUuid(), QStringLiteral("shop.example"), CustomRuleAction::Direct},
        {QUuid::createUuid(), QStringLiteral("kw:video"), CustomRuleAction::Proxy}};
    return config;
}

bool hasQuotaRequestWith(const RecordingServer& server, const QByteArray& token) {
    return std::any_of(server.requests.cbegin(), server.requests.cend(),
                       [&](const RecordingServer::Request& request) {
                           return request.target == QLatin1String("/api/quota") &&
                                  request.deviceToken == token;
                       });
}

} // namespace

class AccountImportTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        const TestBundle bundle;
        QVERIFY2(bundle.isValid(), "the development core and the launcher must be staged");
    }

    void importTakesEffect_data() {
        QTest::addColumn<bool>("connected");
        QTest::newRow("disconnected: saved for the next connect") << false;
        QTest::newRow("connected: reconnects with the new node") << true;
    }
    void importTakesEffect() {
        QFETCH(bool, connected);
        TestBundle bundle;
        RecordingServer quota;
        QTcpServer node; // the new node; the development core's latency probe reaches it
        QVERIFY(node.listen(QHostAddress::LocalHost, 0));
        int nodeContacts = 0;
        QObject::connect(&node, &QTcpServer::newConnection, &node, [&] {
            while (QTcpSocket* socket = node.nextPendingConnection()) {
                ++nodeContacts;
                socket->deleteLater();
            }
        });

        ManagerEnvironment environment = bundle.environment();
        if (!connected)
            environment.tunReconnectDelayMs = 0; // a wrong reconnect would show at once
        auto manager = std::make_unique<MihomoManager>(std::move(environment));
        const AppConfig before = customised(manager->config(), quota.baseUrl());
        manager->setConfig(before);
        QList<qint64> pidsBefore;
        if (connected) {
            manager->connect();
            QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
            pidsBefore = bundle.corePids();
            QCOMPARE(pidsBefore.size(), 1);
        }
        QStringList statuses;
        QObject::connect(manager.get(), &MihomoManager::statusMessageChanged, manager.get(),
                         [&] { statuses << manager->statusMessage(); });

        const std::optional<AccountImport> account =
            AccountImport::parse(shareLink(node.serverPort()), QStringLiteral("new-token"));
        QVERIFY(account);
        manager->importAccount(*account);

        // The record and the file hold the new account and everything else as it was.
        const AppConfig expected = account->appliedTo(before);
        QCOMPARE(manager->config(), expected);
        QCOMPARE(manager->config().accountLabel, QStringLiteral("Alice"));
        QCOMPARE(manager->config().customRules, before.customRules);
        QCOMPARE(readAll(bundle.dataDir() + QStringLiteral("/app_config.json")),
                 AppConfigCodec::encode(expected));
        // The quota is asked for with the new token.
        QTRY_VERIFY_WITH_TIMEOUT(hasQuotaRequestWith(quota, "new-token"), 10'000);

        if (!connected) {
            QVERIFY(!manager->isBusy());
            QVERIFY(!manager->isConnected());
            QVERIFY(statuses.isEmpty());
            QVERIFY(bundle.corePids().isEmpty());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(statuses, (QStringList{kDisconnected, kStarting, kConnected}));
        const QList<qint64> pidsAfter = bundle.corePids();
        QCOMPARE(pidsAfter.size(), 1);
        QVERIFY(pidsAfter != pidsBefore);
        const QString yaml =
            QString::fromUtf8(readAll(bundle.dataDir() + QStringLiteral("/config.yaml")));
        QCOMPARE(yaml, manager->buildMihomoYAML());
        QVERIFY(yaml.contains(QStringLiteral("\n    port: %1\n").arg(node.serverPort())));
        QVERIFY(yaml.contains(QStringLiteral("\n    uuid: ") + kUuid + u'\n'));
        QVERIFY(yaml.contains(QStringLiteral("\n  - DOMAIN-SUFFIX,shop.example,DIRECT\n")));
        // The running core uses the new node: its latency probe after the connect reaches it.
        QTRY_VERIFY_WITH_TIMEOUT(nodeContacts > 0, 10'000);
        manager->disconnect();
        QVERIFY(bundle.corePids().isEmpty());
    }

    void configToolWritesWhatTheApplicationWrites_data() {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("token");
        QTest::newRow("label and token")
            << QStringLiteral("%E5%BC%A0%E4%B8%89") << QStringLiteral("new-token");
        QTest::newRow("neither: both kept") << QString() << QString();
    }
    void configToolWritesWhatTheApplicationWrites() {
        QFETCH(QString, label);
        QFETCH(QString, token);
        QTemporaryDir dir;
        ManagerEnvironment environment = TestSupport::bareEnvironment(dir);
        const QString settingsPath = environment.paths.configFile();
        QVERIFY(QDir().mkpath(environment.paths.dataDir));
        const QByteArray original = AppConfigCodec::encode(
            customised(AppConfig::empty(),
                       QStringLiteral("http://127.0.0.1:%1").arg(TestSupport::freeLocalPort())));
        QVERIFY(writeFileAtomically(settingsPath, original));
        // The tool reads a copy: no command line names the data folder.
        const QString input = dir.filePath(QStringLiteral("input.json"));
        QVERIFY(writeFileAtomically(input, original));

        const QString link = shareLink(443, label);
        MihomoManager manager(std::move(environment));
        const std::optional<AccountImport> account = AccountImport::parse(link, token);
        QVERIFY(account);
        manager.importAccount(*account);
        const QByteArray written = readAll(settingsPath);
        QVERIFY(written != original);

        QProcess tool;
        QStringList arguments{QStringLiteral("import"), input, link};
        if (!token.isEmpty())
            arguments << token;
        tool.start(TestSupport::stageDir() + QStringLiteral("/bin/vantrel-config"), arguments);
        QVERIFY(tool.waitForFinished(30'000));
        QCOMPARE(tool.readAllStandardError(), QByteArray());
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(tool.readAllStandardOutput(), written);
        QCOMPARE(readAll(input), original);
    }

    void configToolRefusesWithTheReason_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("reason");
        QTest::newRow("TLS node")
            << QString(shareLink(443)).replace(QStringLiteral("reality"), QStringLiteral("tls"))
            << QString() << QStringLiteral("仅支持 REALITY 节点");
        QTest::newRow("port 0") << shareLink(0) << QString() << QStringLiteral("端口无效");
        QTest::newRow("token with a line break") << shareLink(443) << QStringLiteral("a\nb")
                                                 << QStringLiteral("访问令牌中含有空白或控制字符");
    }
    void configToolRefusesWithTheReason() {
        QFETCH(QString, link);
        QFETCH(QString, token);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("input.json"));
        const QByteArray original = AppConfigCodec::encode(AppConfig::empty());
        QVERIFY(writeFileAtomically(input, original));
        QProcess tool;
        QStringList arguments{QStringLiteral("import"), input, link};
        if (!token.isEmpty())
            arguments << token;
        tool.start(TestSupport::stageDir() + QStringLiteral("/bin/vantrel-config"), arguments);
        QVERIFY(tool.waitForFinished(30'000));
        QCOMPARE(tool.exitCode(), 1);
        QCOMPARE(tool.readAllStandardOutput(), QByteArray());
        QCOMPARE(QString::fromUtf8(tool.readAllStandardError()),
                 QStringLiteral("vantrel-config: ") + reason + u'\n');
        QCOMPARE(readAll(input), original);
    }
};

QTEST_GUILESS_MAIN(AccountImportTest)
#include "tst_account_import.moc"
