#include "config/AppConfig.h"
#include "config/Deployment.h"
#include "config/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

const QString baseURL = QString::fromUtf8(Deployment::serviceBaseURL);

// The record a file without any key decodes to.
AppConfig absentKeyDefaults() {
    AppConfig config;
    config.apiBaseURL = baseURL;
    config.sni = QString::fromUtf8(Deployment::defaultSni);
    return config;
}

AppConfig sampleRecord() {
    AppConfig config = AppConfig::empty();
    config.deviceToken = "token \"quoted\" \\ back\nslash";
    config.accountLabel = QStringLiteral("演示 \U0001F600 \t tab");
    config.serverIP = "198.51.100.7";
    config.serverPort = 8443;
    config.uuid = "00000000-0000-4000-8000-000000000001";
    config.publicKey = "key/with/slashes";
    config.shortId = "00001234";
    config.quotaToken = QString(QChar(0x01)) + "ctl";
    config.mode = ProxyMode::Global;
    config.allowLan = true;
    config.autoConnect = true;
    config.customRules = {
        {QUuid("{0F8FAD5B-D9CB-469F-A165-70867728950E}"), "kw:video", CustomRuleAction::Proxy},
        {QUuid("{7C9E6679-7425-40DE-944B-E07FC1F90AE7}"), "shop.example",
         CustomRuleAction::Direct}};
    return config;
}

mode_t posixMode(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// JSON written with single quotes, which read better inside C++ string literals.
QByteArray json(QByteArray text) {
    return text.replace('\'', '"');
}

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void emptyRecord() {
        const AppConfig config = AppConfig::empty();
        QCOMPARE(config.apiBaseURL, baseURL);
        QCOMPARE(config.quotaURL, baseURL + "/api/quota");
        QCOMPARE(config.sni, QString::fromUtf8(Deployment::defaultSni));
        QCOMPARE(config.spiderX, "/");
        QCOMPARE(config.serverPort, 443);
        QVERIFY(config.tunEnabled);
        QVERIFY(!config.allowLan && config.bypassAppleCN && config.blockQuic);
        QCOMPARE(config.mode, ProxyMode::Rule);
        QVERIFY(config.customRules.isEmpty());
        QVERIFY(!config.autoConnect);
        QVERIFY(baseURL.startsWith("http://") && !baseURL.endsWith('/'));
    }

    void decodeAbsentAndNull_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("no keys") << QByteArray("{}");
        QTest::newRow("all null") << json(
            "{'apiBaseURL':null,'deviceToken':null,'accountLabel':null,'serverIP':null,"
            "'serverPort':null,'uuid':null,'publicKey':null,'shortId':null,'sni':null,"
            "'spiderX':null,'quotaURL':null,'quotaToken':null,'mode':null,'tunEnabled':null,"
            "'allowLan':null,'bypassAppleCN':null,'blockQuic':null,'customRules':null,"
            "'autoConnect':null}");
        QTest::newRow("unknown keys only") << json("{'legacy':[1,2],'Mode':'x'}");
    }
    void decodeAbsentAndNull() {
        QFETCH(QByteArray, json);
        const auto config = AppConfigCodec::decode(json);
        QVERIFY(config);
        QCOMPARE(*config, absentKeyDefaults());
        QVERIFY(!config->tunEnabled);
        QVERIFY(config->quotaURL.isEmpty());
        QVERIFY(!config->autoConnect);
    }

    void decodeFailures_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("not JSON") << QByteArray("{\"mode\":");
        QTest::newRow("empty file") << QByteArray("");
        QTest::newRow("array") << QByteArray("[]");
        QTest::newRow("port as string") << json("{'serverPort':'443'}");
        QTest::newRow("port with fraction") << json("{'serverPort':443.5}");
        QTest::newRow("port beyond 64 bits") << json("{'serverPort':1e30}");
        QTest::newRow("text as number") << json("{'uuid':5}");
        QTest::newRow("text as object") << json("{'sni':{}}");
        QTest::newRow("boolean as string") << json("{'tunEnabled':'true'}");
        QTest::newRow("boolean as number") << json("{'allowLan':1}");
        QTest::newRow("auto-connect as string") << json("{'autoConnect':'yes'}");
        QTest::newRow("unknown mode") << json("{'mode':'direct'}");
        QTest::newRow("mode in other case") << json("{'mode':'Rule'}");
        QTest::newRow("rules as object") << json("{'customRules':{}}");
        QTest::newRow("rule not an object") << json("{'customRules':['a']}");
        QTest::newRow("rule without id")
            << json("{'customRules':[{'pattern':'a','action':'DIRECT'}]}");
        QTest::newRow("rule with null id")
            << json("{'customRules':[{'id':null,'pattern':'a','action':'DIRECT'}]}");
        QTest::newRow("rule id not a UUID")
            << json("{'customRules':[{'id':'abc','pattern':'a','action':'DIRECT'}]}");
        QTest::newRow("rule id in braces")
            << json("{'customRules':[{'id':'{0F8FAD5B-D9CB-469F-A165-70867728950E}','pattern':'a','"
                    "action':'DIRECT'}]}");
        QTest::newRow("rule without pattern") << json(
            "{'customRules':[{'id':'0F8FAD5B-D9CB-469F-A165-70867728950E','action':'DIRECT'}]}");
        QTest::newRow("rule pattern a number")
            << json("{'customRules':[{'id':'0F8FAD5B-D9CB-469F-A165-70867728950E','pattern':1,'"
                    "action':'DIRECT'}]}");
        QTest::newRow("rule action lower case")
            << json("{'customRules':[{'id':'0F8FAD5B-D9CB-469F-A165-70867728950E','pattern':'a','"
                    "action':'direct'}]}");
        QTest::newRow("one bad rule among good ones")
            << json("{'customRules':[{'id':'0F8FAD5B-D9CB-469F-A165-70867728950E','pattern':'a','"
                    "action':'DIRECT'},"
                    "{'id':'7C9E6679-7425-40DE-944B-E07FC1F90AE7','pattern':'b'}]}");
    }
    void decodeFailures() {
        QFETCH(QByteArray, json);
        QString reason;
        QVERIFY(!AppConfigCodec::decode(json, &reason));
        QVERIFY(!reason.isEmpty());
        QVERIFY(!reason.contains('\n'));
    }

    void decodeReadsLowerCaseIdsAndWritesUpperCase() {
        const auto config = AppConfigCodec::decode(
            json("{'customRules':[{'id':'0f8fad5b-d9cb-469f-a165-70867728950e','pattern':'Shop',"
                 "'action':'PROXY'}],'serverPort':8443,'mode':'global','tunEnabled':true}"));
        QVERIFY(config);
        QCOMPARE(config->customRules.size(), 1);
        QCOMPARE(config->customRules[0].id, QUuid("{0F8FAD5B-D9CB-469F-A165-70867728950E}"));
        QCOMPARE(config->customRules[0].pattern, "Shop"); // stored as read, not normalized
        QCOMPARE(config->customRules[0].action, CustomRuleAction::Proxy);
        QCOMPARE(config->serverPort, 8443);
        QCOMPARE(config->mode, ProxyMode::Global);
        QVERIFY(config->tunEnabled);
        QVERIFY(AppConfigCodec::encode(*config).contains(json(
            "{'id':'0F8FAD5B-D9CB-469F-A165-70867728950E','pattern':'Shop','action':'PROXY'}")));
    }

    void encodeIsCompactInFieldOrder() {
        AppConfig config = AppConfig::empty();
        config.customRules = {
            {QUuid("{0f8fad5b-d9cb-469f-a165-70867728950e}"), "kw:a\"b", CustomRuleAction::Direct}};
        const QByteArray expected = json(
            "{'apiBaseURL':'" + baseURL.toUtf8() +
            "','deviceToken':'','accountLabel':'','serverIP':'','serverPort':443,'uuid':'',"
            "'publicKey':'','shortId':'','sni':'" +
            QByteArray(Deployment::defaultSni) + "','spiderX':'/','quotaURL':'" + baseURL.toUtf8() +
            "/api/quota','quotaToken':'','mode':'rule','tunEnabled':true,'allowLan':false,"
            "'bypassAppleCN':true,'blockQuic':true,'customRules':[{'id':"
            "'0F8FAD5B-D9CB-469F-A165-70867728950E','pattern':'kw:a\\'b','action':'DIRECT'}],"
            "'autoConnect':false}");
        QCOMPARE(AppConfigCodec::encode(config), expected);
    }

    void encodeRoundTripsAnyText() {
        const AppConfig config = sampleRecord();
        const auto decoded = AppConfigCodec::decode(AppConfigCodec::encode(config));
        QVERIFY(decoded);
        QCOMPARE(*decoded, config);
    }

    void unknownKeysAreDroppedOnSave() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        writeBytes(path, json("{'legacyField':'x','mode':'global','nested':{'a':1}}"));
        const SettingsStore store(path, QString());
        const AppConfig config = store.load();
        QCOMPARE(config.mode, ProxyMode::Global);
        QVERIFY(store.save(config));
        const QByteArray saved = readBytes(path);
        QVERIFY(!saved.contains("legacyField"));
        QVERIFY(!saved.contains("nested"));
        QCOMPARE(saved, AppConfigCodec::encode(config));
    }

    void resolvedApiBaseURL_data() {
        QTest::addColumn<QString>("apiBaseURL");
        QTest::addColumn<QString>("quotaURL");
        QTest::addColumn<QString>("expected");
        QTest::newRow("blanks and trailing slashes") << " \n https://api.example:9000/// \t"
                                                     << ""
                                                     << "https://api.example:9000";
        QTest::newRow("leading slashes go too") << "//api.example/"
                                                << ""
                                                << "api.example";
        QTest::newRow("quota URL with port and path")
            << ""
            << "https://user:pw@q.example:8443/api/quota?x=1"
            << "https://q.example:8443";
        QTest::newRow("quota URL without port") << "  "
                                                << "http://q.example/api/quota"
                                                << "http://q.example";
        QTest::newRow("slashes only, no quota URL") << "///"
                                                    << "" << baseURL;
        QTest::newRow("quota URL without host") << ""
                                                << "/api/quota" << baseURL;
        QTest::newRow("quota URL without scheme") << ""
                                                  << "q.example:80" << baseURL;
    }
    void resolvedApiBaseURL() {
        QFETCH(QString, apiBaseURL);
        QFETCH(QString, quotaURL);
        QFETCH(QString, expected);
        AppConfig config;
        config.apiBaseURL = apiBaseURL;
        config.quotaURL = quotaURL;
        QCOMPARE(config.resolvedApiBaseURL(), expected);
    }

    // Loading fallbacks, on real files.

    void loadMissingWithoutResource() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        QCOMPARE(SettingsStore(path, dir.filePath("absent.json")).load(), AppConfig::empty());
        QCOMPARE(SettingsStore(path, QString()).load(), AppConfig::empty());
        QVERIFY(!QFileInfo::exists(path));
    }

    void loadMissingWithResourceWritesIt() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        const QString resource = dir.filePath("default_config.json");
        // The resource's own layout differs from the encoder's: the file gets the re-encoding.
        writeBytes(resource, "{ \"serverIP\" : \"198.51.100.7\", \"unknown\": 1 }\n");
        const AppConfig config = SettingsStore(path, resource).load();
        QCOMPARE(config.serverIP, "198.51.100.7");
        QCOMPARE(readBytes(path), AppConfigCodec::encode(config));
        QCOMPARE(posixMode(path), mode_t(0600));
        QVERIFY(!QFileInfo::exists(path + ".bad"));
    }

    void loadDecodableFileIsNotRewritten() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        const QString resource = dir.filePath("default_config.json");
        writeBytes(resource, json("{'serverIP':'198.51.100.7'}"));
        const QByteArray own = "{ \"mode\": \"global\", \"extra\": true }";
        writeBytes(path, own);
        const AppConfig config = SettingsStore(path, resource).load();
        QCOMPARE(config.mode, ProxyMode::Global);
        QVERIFY(config.serverIP.isEmpty());
        QCOMPARE(readBytes(path), own);
    }

    void loadUndecodableWithResourceKeepsTheFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        const QString resource = dir.filePath("default_config.json");
        writeBytes(resource, json("{'serverIP':'198.51.100.7','deviceToken':'demo'}"));
        writeBytes(path + ".bad", "older leftover");
        const QByteArray own = json("{'deviceToken':'secret','serverPort':'443'}");
        writeBytes(path, own);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ReadOther);

        const AppConfig config = SettingsStore(path, resource).load();
        QCOMPARE(config.serverIP, "198.51.100.7");
        QCOMPARE(readBytes(path), AppConfigCodec::encode(config));
        QCOMPARE(posixMode(path), mode_t(0600));
        QCOMPARE(readBytes(path + ".bad"), own);
        QCOMPARE(posixMode(path + ".bad"), mode_t(0600));
    }

    void everyUndecodableFileIsKept() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        const QString resource = dir.filePath("default_config.json");
        writeBytes(resource, json("{'serverIP':'198.51.100.7'}"));
        const auto kept = [&path](int index) {
            return path + ".bad" + (index == 0 ? QString() : QStringLiteral(".%1").arg(index));
        };
        // Three in a row: the newest is ".bad", the older ones move up.
        for (int run = 1; run <= 3; ++run) {
            writeBytes(path, "broken " + QByteArray::number(run));
            QCOMPARE(SettingsStore(path, resource).load().serverIP, "198.51.100.7");
        }
        QCOMPARE(readBytes(kept(0)), "broken 3");
        QCOMPARE(readBytes(kept(1)), "broken 2");
        QCOMPARE(readBytes(kept(2)), "broken 1");
        // Past the limit the oldest goes.
        for (int run = 4; run <= 7; ++run) {
            writeBytes(path, "broken " + QByteArray::number(run));
            SettingsStore(path, resource).load();
        }
        for (int index = 0; index < keptUnusableSettingsFiles; ++index)
            QCOMPARE(readBytes(kept(index)), "broken " + QByteArray::number(7 - index));
        QVERIFY(!QFileInfo::exists(kept(keptUnusableSettingsFiles)));
    }

    void loadUndecodableWithoutResourceLeavesTheFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        const QByteArray own = json("{'customRules':[{'pattern':'a','action':'DIRECT'}]}");
        writeBytes(path, own);
        QCOMPARE(SettingsStore(path, dir.filePath("absent.json")).load(), AppConfig::empty());
        QCOMPARE(readBytes(path), own);
        QVERIFY(!QFileInfo::exists(path + ".bad"));
    }

    void loadUndecodableResourceFallsBackToEmpty() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        const QString resource = dir.filePath("default_config.json");
        writeBytes(resource, json("{'mode':'unknown'}"));
        QCOMPARE(SettingsStore(path, resource).load(), AppConfig::empty());
        QVERIFY(!QFileInfo::exists(path));
    }

    void loadNeverOpensAFifo() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        const QString resource = dir.filePath("default_config.json");
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // Without a writer a blocking open would hang here.
        QCOMPARE(SettingsStore(path, QString()).load(), AppConfig::empty());

        writeBytes(resource, json("{'serverIP':'198.51.100.7'}"));
        const AppConfig config = SettingsStore(path, resource).load();
        QCOMPARE(config.serverIP, "198.51.100.7");
        QVERIFY(QFileInfo(path).isFile());
        QCOMPARE(readBytes(path), AppConfigCodec::encode(config));
    }

    void loadTreatsAFolderAsUnreadable() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        QVERIFY(QDir().mkdir(path));
        QCOMPARE(SettingsStore(path, QString()).load(), AppConfig::empty());
    }

    void loadIgnoresAnOversizeFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        const QString resource = dir.filePath("default_config.json");
        {
            // Valid JSON padded with blanks past the limit; sparse, so cheap to make.
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("{}");
            QVERIFY(file.resize(maxSettingsFileBytes + 1));
        }
        QCOMPARE(SettingsStore(path, QString()).load(), AppConfig::empty());
        QCOMPARE(QFileInfo(path).size(), maxSettingsFileBytes + 1);

        writeBytes(resource, json("{'serverIP':'198.51.100.7'}"));
        QCOMPARE(SettingsStore(path, resource).load().serverIP, "198.51.100.7");
        QCOMPARE(QFileInfo(path + ".bad").size(), maxSettingsFileBytes + 1);
    }

    void saveIsOwnerOnlyAndReportsFailure() {
        QTemporaryDir dir;
        const QString path = dir.filePath("app_config.json");
        writeBytes(path, "old");
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ReadGroup | QFileDevice::ReadOther);
        const AppConfig config = sampleRecord();
        QVERIFY(SettingsStore(path, QString()).save(config));
        QCOMPARE(posixMode(path), mode_t(0600));
        QCOMPARE(SettingsStore(path, QString()).load(), config);
        QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden) ==
                QStringList{"app_config.json"});

        QVERIFY(!SettingsStore(dir.filePath("missing/app_config.json"), QString()).save(config));
        QString error;
        QVERIFY(!writeFileAtomically(dir.filePath("missing/x"), "x", &error));
        QVERIFY(!error.isEmpty());
    }

    void privateFolder() {
        QTemporaryDir dir;
        const QString fresh = dir.filePath("a/b/VantrelVPN");
        QVERIFY(ensurePrivateFolder(fresh));
        QCOMPARE(posixMode(fresh), mode_t(0700));

        const QString existing = dir.filePath("open");
        QVERIFY(QDir().mkdir(existing));
        QFile::setPermissions(existing, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                            QFileDevice::ExeOther);
        QVERIFY(ensurePrivateFolder(existing));
        QCOMPARE(posixMode(existing), mode_t(0700));

        writeBytes(dir.filePath("file"), "x");
        QVERIFY(!ensurePrivateFolder(dir.filePath("file")));
    }
};

QTEST_APPLESS_MAIN(TestSettings)
#include "tst_settings.moc"
