// Decoding of the core's traffic lines, connection lists and delay replies, and of the quota
// service's report.
#include "monitoring/MonitoringTypes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using Rows = QList<ActiveConnectionItem>;

namespace {

// JSON text written with single quotes, for readable tables.
QByteArray json(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

QJsonObject connection(const QString& host, const QString& destinationIP = {},
                       const QJsonValue& rule = QJsonValue(),
                       const QJsonValue& chains = QJsonValue()) {
    QJsonObject metadata;
    if (!host.isNull())
        metadata.insert("host", host);
    if (!destinationIP.isNull())
        metadata.insert("destinationIP", destinationIP);
    QJsonObject object{{"id", "c"}, {"metadata", metadata}};
    if (!rule.isNull())
        object.insert("rule", rule);
    if (!chains.isNull())
        object.insert("chains", chains);
    return object;
}

QByteArray connectionsBody(const QJsonArray& connections) {
    return QJsonDocument(QJsonObject{{"downloadTotal", 1}, {"connections", connections}})
        .toJson(QJsonDocument::Compact);
}

Rows hostRows(const QStringList& hosts) {
    Rows rows;
    for (const QString& host : hosts)
        rows.append({host, host, QString(), QString()});
    return rows;
}

QJsonObject fullQuota() {
    return {{"ok", true},
            {"node_name", "CloudCone-LA"},
            {"server_ip", "203.0.113.10"},
            {"location", "Los Angeles"},
            {"reset_day", 3},
            {"cycle_start", "2024-05-03"},
            {"next_reset", "2024-06-03"},
            {"days_remaining", 17},
            {"quota_bytes", 6000000000000LL},
            {"used_bytes", 1234567890123LL},
            {"remaining_bytes", 4765432109877LL},
            {"upload_bytes", 234567890123LL},
            {"download_bytes", 1000000000000LL},
            {"proxy_used_bytes", 1234000000000LL},
            {"percent_used", 20.58},
            {"unknown_key", "ignored"}};
}

} // namespace

class TestMonitoringTypes : public QObject {
    Q_OBJECT
private slots:
    void trafficLine_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<std::optional<LiveTraffic>>("expected");
        QTest::newRow("sample") << json("{'up':512,'down':2048}")
                                << std::optional(LiveTraffic{512, 2048});
        QTest::newRow("other keys ignored")
            << json("{'down':7,'extra':'x','up':0}") << std::optional(LiveTraffic{0, 7});
        QTest::newRow("beyond 2^53 kept exact")
            << json("{'up':9007199254740993,'down':1}")
            << std::optional(LiveTraffic{9007199254740993LL, 1});
        QTest::newRow("down missing") << json("{'up':1}") << std::optional<LiveTraffic>();
        QTest::newRow("fraction") << json("{'up':1.5,'down':2}") << std::optional<LiveTraffic>();
        QTest::newRow("string") << json("{'up':'1','down':2}") << std::optional<LiveTraffic>();
        QTest::newRow("null") << json("{'up':null,'down':2}") << std::optional<LiveTraffic>();
        QTest::newRow("empty line") << QByteArray() << std::optional<LiveTraffic>();
        QTest::newRow("partial") << json("{'up':1,'do") << std::optional<LiveTraffic>();
        QTest::newRow("array") << QByteArray("[1,2]") << std::optional<LiveTraffic>();
    }
    void trafficLine() {
        QFETCH(QByteArray, line);
        QFETCH(std::optional<LiveTraffic>, expected);
        QCOMPARE(decodeTrafficLine(line), expected);
    }

    void connections_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<Rows>>("expected");

        QJsonArray repeated;
        for (int i = 0; i < 30; ++i)
            repeated.append(connection(QStringList{"a.com", "b.com", "c.com"}.at(i % 3)));
        QTest::newRow("duplicates: first appearance wins")
            << connectionsBody(repeated) << std::optional(hostRows({"a.com", "b.com", "c.com"}));

        QTest::newRow("empty host falls back to destinationIP")
            << connectionsBody({connection("", "10.0.0.5")})
            << std::optional(hostRows({"10.0.0.5"}));

        QTest::newRow("host is case-sensitive")
            << connectionsBody({connection("A.com"), connection("a.com")})
            << std::optional(hostRows({"A.com", "a.com"}));

        QJsonArray forty;
        QStringList firstTwentyFive;
        for (int i = 0; i < 40; ++i) {
            forty.append(connection(QStringLiteral("h%1.net").arg(i)));
            if (i < 25)
                firstTwentyFive.append(QStringLiteral("h%1.net").arg(i));
        }
        QTest::newRow("25 rows at most")
            << connectionsBody(forty) << std::optional(hostRows(firstTwentyFive));

        QJsonArray unusableFirst{connection(QString()), QJsonObject{{"metadata", "text"}},
                                 connection(QString(), QString(), "Match")};
        QStringList twentyFive;
        for (int i = 0; i < 26; ++i) {
            unusableFirst.append(connection(QStringLiteral("u%1.org").arg(i)));
            if (i < 25)
                twentyFive.append(QStringLiteral("u%1.org").arg(i));
        }
        QTest::newRow("unusable entries take no place")
            << connectionsBody(unusableFirst) << std::optional(hostRows(twentyFive));

        QTest::newRow("rule and first chain")
            << connectionsBody(
                   {connection("x.io", {}, "DomainSuffix", QJsonArray{"CloudCone-LA", "PROXY"}),
                    connection("y.io", {}, 7, QJsonArray{"DIRECT", 3}),
                    connection("z.io", {}, {}, QJsonArray{})})
            << std::optional(Rows{{"x.io", "x.io", "DomainSuffix", "CloudCone-LA"},
                                  {"y.io", "y.io", "", ""},
                                  {"z.io", "z.io", "", ""}});

        QTest::newRow("null list is empty")
            << json("{'connections':null}") << std::optional(Rows{});
        QTest::newRow("non-object element")
            << connectionsBody({connection("a.com"), 5}) << std::optional<Rows>();
        QTest::newRow("list missing") << json("{'downloadTotal':1}") << std::optional<Rows>();
        QTest::newRow("not JSON") << QByteArray("Unauthorized") << std::optional<Rows>();
    }
    void connections() {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<Rows>, expected);
        QCOMPARE(decodeRecentConnections(body), expected);
    }

    void delay_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<qint64>>("expected");
        QTest::newRow("measured") << json("{'delay':183}") << std::optional<qint64>(183);
        QTest::newRow("error object") << json("{'message':'Timeout'}") << std::optional<qint64>();
        QTest::newRow("fraction") << json("{'delay':1.5}") << std::optional<qint64>();
        QTest::newRow("not JSON") << QByteArray("404 page not found") << std::optional<qint64>();
    }
    void delay() {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<qint64>, expected);
        QCOMPARE(decodeDelay(body), expected);
    }

    void quota() {
        const std::optional<QuotaInfo> info =
            decodeQuotaInfo(QJsonDocument(fullQuota()).toJson(QJsonDocument::Compact));
        QVERIFY(info);
        QCOMPARE(*info,
                 (QuotaInfo{true, "CloudCone-LA", "203.0.113.10", "Los Angeles", 3, "2024-05-03",
                            "2024-06-03", 17, 6000000000000LL, 1234567890123LL, 4765432109877LL,
                            234567890123LL, 1000000000000LL, 1234000000000LL, 20.58}));
    }

    void quotaFieldRules_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value"); // undefined: the key is removed
        QTest::addColumn<bool>("decodes");
        QTest::newRow("integral percent") << "percent_used" << QJsonValue(12) << true;
        QTest::newRow("key missing")
            << "proxy_used_bytes" << QJsonValue(QJsonValue::Undefined) << false;
        QTest::newRow("fractional bytes") << "used_bytes" << QJsonValue(1.5) << false;
        QTest::newRow("null") << "location" << QJsonValue(QJsonValue::Null) << false;
        QTest::newRow("ok as number") << "ok" << QJsonValue(1) << false;
        QTest::newRow("day as text") << "reset_day" << QJsonValue("3") << false;
    }
    void quotaFieldRules() {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(bool, decodes);
        QJsonObject report = fullQuota();
        if (value.isUndefined())
            report.remove(key);
        else
            report.insert(key, value);
        const std::optional<QuotaInfo> info =
            decodeQuotaInfo(QJsonDocument(report).toJson(QJsonDocument::Compact));
        QCOMPARE(info.has_value(), decodes);
        if (decodes)
            QCOMPARE(info->percentUsed, value.toDouble());
    }
};

QTEST_GUILESS_MAIN(TestMonitoringTypes)
#include "tst_monitoring_types.moc"
