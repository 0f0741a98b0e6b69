// A stand-in for the service's quota endpoint, for running the application on its defaults:
//   vantrel-devquota [port]
// GET /api/quota on 127.0.0.1 answers a month of a 6 TB allowance whose use grows slowly from
// the moment the service started; a wrong "X-Device-Token" gets 401.
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonObject>
#include <QTextStream>
#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 allowanceBytes = 6'000'000'000'000;
constexpr int resetDay = 1;
// Already used when the service starts, and the growth per second after that (about 1 MB/s).
constexpr qint64 usedAtStart = 1'234'567'890'123;
constexpr qint64 bytesPerSecond = 1'048'576;

QJsonObject quotaReport(qint64 secondsUp) {
    const QDate today = QDate::currentDate();
    const QDate cycleStart(today.year(), today.month(), resetDay);
    const QDate nextReset = cycleStart.addMonths(1);
    const qint64 used = std::min(allowanceBytes, usedAtStart + secondsUp * bytesPerSecond);
    const qint64 upload = used / 8;
    return {
        {"ok", true},
        {"node_name", "CloudCone-LA"},
        {"server_ip", "127.0.0.1"},
        {"location", "Los Angeles"},
        {"reset_day", resetDay},
        {"cycle_start", cycleStart.toString(Qt::ISODate)},
        {"next_reset", nextReset.toString(Qt::ISODate)},
        {"days_remaining", today.daysTo(nextReset)},
        {"quota_bytes", allowanceBytes},
        {"used_bytes", used},
        {"remaining_bytes", allowanceBytes - used},
        {"upload_bytes", upload},
        {"download_bytes", used - upload},
        {"proxy_used_bytes", used},
        {"percent_used", std::round(10000.0 * double(used) / double(allowanceBytes)) / 100.0},
    };
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);

    quint16 port = VANTREL_DEMO_QUOTA_PORT;
    if (argc > 1) {
        bool ok = false;
        port = QString::fromLocal8Bit(argv[1]).toUShort(&ok);
        if (!ok || port == 0) {
            err << "usage: vantrel-devquota [port]\n";
            return 2;
        }
    }

    const QDateTime started = QDateTime::currentDateTimeUtc();
    QHttpServer server;
    server.route("/api/quota", QHttpServerRequest::Method::Get,
                 [started](const QHttpServerRequest& request) {
                     if (request.value("X-Device-Token") != QByteArray(VANTREL_DEMO_DEVICE_TOKEN))
                         return QHttpServerResponse(
                             QJsonObject{{"ok", false}, {"error", "unauthorized"}},
                             QHttpServerResponse::StatusCode::Unauthorized);
                     return QHttpServerResponse(
                         quotaReport(started.secsTo(QDateTime::currentDateTimeUtc())));
                 });
    if (server.listen(QHostAddress::LocalHost, port) != port) {
        err << "vantrel-devquota: cannot listen on 127.0.0.1:" << port << "\n";
        return 1;
    }
    return app.exec();
}
