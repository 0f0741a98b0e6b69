#include "monitoring/ReplyWait.h"

#include "monitoring/Wakeup.h"

#include <QTimer>

namespace {

bool announcesMoreThan(const QNetworkReply& reply, qint64 maxBytes) {
    bool ok = false;
    const qint64 length = reply.header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
    return ok && length > maxBytes;
}

} // namespace

QCoro::Task<BoundedBody> readBounded(QPointer<QNetworkReply> reply, qint64 maxBytes,
                                     int deadlineMs) {
    BoundedBody result;
    // The timer's context is the reply, so it dies with it.
    if (reply && !reply->isFinished() && deadlineMs > 0)
        QTimer::singleShot(deadlineMs, reply.data(), &QNetworkReply::abort);
    while (reply) {
        const bool atEnd = reply->isFinished();
        if (reply->isOpen()) // an aborted reply is closed and holds nothing more
            result.body += reply->read(maxBytes + 1 - result.body.size());
        if (result.body.size() > maxBytes || announcesMoreThan(*reply, maxBytes)) {
            result.tooLarge = true;
            result.body.clear();
            reply->abort();
            break;
        }
        if (atEnd)
            break;
        Wakeup next;
        next.on(reply.data(), &QIODevice::readyRead);
        next.on(reply.data(), &QNetworkReply::metaDataChanged);
        next.on(reply.data(), &QNetworkReply::finished);
        next.on(reply.data(), &QObject::destroyed);
        co_await next.fired();
    }
    result.alive = !reply.isNull();
    if (!result.alive)
        result.body.clear();
    co_return result;
}
