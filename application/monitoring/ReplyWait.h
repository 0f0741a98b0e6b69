#pragma once

#include <QNetworkReply>
#include <QPointer>
#include <qcoro/qcorotask.h>

// Waits until the reply has finished, aborting it once deadlineMs have passed (0: no deadline).
// False when the reply was destroyed meanwhile (its access manager went away).
QCoro::Task<bool> finishedWithin(QPointer<QNetworkReply> reply, int deadlineMs);

// Deletes a reply later, once the caller is done with it.
struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const {
        if (reply)
            reply->deleteLater();
    }
};
