#include "monitoring/QuotaClient.h"

#include "monitoring/ReplyWait.h"

#include <QNetworkAccessManager>
#include <QUrl>
#include <memory>

namespace QuotaClient {

std::optional<QNetworkRequest> buildRequest(const QString& baseUrl, const QString& deviceToken,
                                            const QString& deviceId) {
    const QUrl url(baseUrl + QStringLiteral("/api/quota"), QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    QNetworkRequest request(url);
    // Sent verbatim, also when empty: the service tells a missing token from a wrong one.
    // A null value would drop the header: keep an empty one.
    QByteArray token = deviceToken.toUtf8();
    if (token.isNull())
        token = QByteArray("");
    request.setRawHeader("X-Device-Token", token);
    request.setRawHeader("X-Device-Id", deviceId.toUtf8());
    return request;
}

QCoro::Task<Result> fetch(QNetworkAccessManager* network, QNetworkRequest request) {
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(network->get(request));
    const bool finished = co_await finishedWithin(reply.get(), timeoutMs);
    if (!finished) {
        (void)reply.release(); // destroyed with its access manager
        co_return Result{Outcome::Failed, std::nullopt};
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        // No status line: either the transport failed or the URL was not an HTTP one.
        co_return Result{reply->error() == QNetworkReply::NoError ? Outcome::NotHttp
                                                                  : Outcome::Failed,
                         std::nullopt};
    }
    if (status.toInt() != 200)
        co_return Result{Outcome::BadStatus, std::nullopt};
    if (reply->error() != QNetworkReply::NoError)
        co_return Result{Outcome::Failed, std::nullopt}; // the body broke off
    std::optional<QuotaInfo> quota = decodeQuotaInfo(reply->readAll());
    co_return Result{quota ? Outcome::Decoded : Outcome::Failed, std::move(quota)};
}

} // namespace QuotaClient
