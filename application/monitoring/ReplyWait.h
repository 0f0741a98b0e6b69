#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QPointer>
#include <qcoro/qcorotask.h>

// A reply's body, read as it arrives and never held beyond a bound.
struct BoundedBody {
    bool alive = false;    // false: the reply was destroyed meanwhile (its access manager went)
    bool tooLarge = false; // the body (or its announced length) passed the bound: aborted
    QByteArray body;       // empty when too large
};

// Reads the reply until it has finished, aborting it once `deadlineMs` have passed since the
// call (headers included; 0: no deadline) or once more than `maxBytes` arrive or are announced.
// A server cannot make the caller wait longer or hold more than that.
QCoro::Task<BoundedBody> readBounded(QPointer<QNetworkReply> reply, qint64 maxBytes,
                                     int deadlineMs);

// Deletes a reply later, once the caller is done with it.
struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const {
        if (reply)
            reply->deleteLater();
    }
};
