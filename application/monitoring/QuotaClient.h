#pragma once

#include "monitoring/MonitoringTypes.h"

#include <QNetworkRequest>
#include <QString>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

// One request to the service's quota endpoint.
namespace QuotaClient {

enum class Outcome {
    NotHttp,   // the reply was no HTTP reply: nothing to publish
    Failed,    // no reply, or a 200 whose body does not decode
    BadStatus, // any status but 200
    Decoded,   // a 200 carrying a complete report
};

struct Result {
    Outcome outcome = Outcome::Failed;
    std::optional<QuotaInfo> quota;
};

inline constexpr int timeoutMs = 8000;

// GET <baseUrl>/api/quota with both identification headers; nothing when the text is no URL.
std::optional<QNetworkRequest> buildRequest(const QString& baseUrl, const QString& deviceToken,
                                            const QString& deviceId);
// Sends the request and classifies the reply; an overall 8 s deadline.
QCoro::Task<Result> fetch(QNetworkAccessManager* network, QNetworkRequest request);

} // namespace QuotaClient
