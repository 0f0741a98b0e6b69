#include "monitoring/ReplyWait.h"

#include "monitoring/Wakeup.h"

#include <QTimer>

QCoro::Task<bool> finishedWithin(QPointer<QNetworkReply> reply, int deadlineMs) {
    if (reply && !reply->isFinished()) {
        // The timer's context is the reply, so it dies with it.
        if (deadlineMs > 0)
            QTimer::singleShot(deadlineMs, reply.data(), &QNetworkReply::abort);
        Wakeup done;
        done.on(reply.data(), &QNetworkReply::finished);
        done.on(reply.data(), &QObject::destroyed);
        co_await done.fired();
    }
    co_return !reply.isNull();
}
