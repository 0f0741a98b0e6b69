// The traffic stream against a raw HTTP server on 127.0.0.1 that writes its endless body in
// chunks of the test's choosing.
#include "TestSupport.h"
#include "monitoring/TrafficStream.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

namespace {

// Answers every request with a 200 head and then the body chunks the test writes; the body
// has no length, so it ends when the server closes the connection.
class StreamServer : public QObject {
public:
    explicit StreamServer(QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                            "Connection: close\r\n\r\n")
        : m_head(std::move(head)) {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    m_heads += socket->readAll();
                    if (!m_heads.contains("\r\n\r\n") || m_sockets.contains(socket))
                        return;
                    socket->write(m_head);
                    m_sockets.append(socket);
                    if (m_head.contains("Content-Length: 0"))
                        socket->disconnectFromHost();
                    m_heads.clear();
                });
            }
        });
    }

    quint16 port() const { return m_server.serverPort(); }
    int requests() const { return m_sockets.size(); }
    int openStreams() const {
        int open = 0;
        for (const QPointer<QTcpSocket>& socket : m_sockets)
            open += socket && socket->state() == QAbstractSocket::ConnectedState;
        return open;
    }
    void write(const QByteArray& bytes) {
        m_sockets.last()->write(bytes);
        m_sockets.last()->flush();
    }
    void endLatest() { m_sockets.last()->disconnectFromHost(); }

private:
    QByteArray m_head;
    QTcpServer m_server;
    QList<QPointer<QTcpSocket>> m_sockets;
    QByteArray m_heads;
};

QNetworkRequest trafficRequest(quint16 port) {
    return QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/traffic").arg(port)));
}

} // namespace

class TestTrafficStream : public QObject {
    Q_OBJECT
private slots:
    void lines_data() {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QList<LiveTraffic>>("samples");
        QTest::newRow("one sample")
            << QList<QByteArray>{"{\"up\":512,\"down\":2048}\n"} << QList<LiveTraffic>{{512, 2048}};
        QTest::newRow("invalid lines skipped")
            << QList<QByteArray>{"{\"up\":1}\n", "{\"up\":1.5,\"down\":2}\n", "\n", "garbage\n",
                                 "{\"up\":3,\"down\":4}\n"}
            << QList<LiveTraffic>{{3, 4}};
        QTest::newRow("line split across chunks")
            << QList<QByteArray>{"{\"up\":5,", "\"down\":6}\r", "\n{\"up\":7,\"down\":8}\n"}
            << QList<LiveTraffic>{{5, 6}, {7, 8}};
        QTest::newRow("several lines in one chunk")
            << QList<QByteArray>{"{\"up\":1,\"down\":2}\n{\"up\":3,\"down\":4}\n"}
            << QList<LiveTraffic>{{1, 2}, {3, 4}};
    }
    void lines() {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QList<LiveTraffic>, samples);
        StreamServer server;
        QNetworkAccessManager network;
        TrafficStream stream(&network);
        QList<LiveTraffic> received;
        QObject::connect(&stream, &TrafficStream::sample, &stream,
                         [&received](LiveTraffic traffic) { received.append(traffic); });

        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);
        for (const QByteArray& chunk : chunks) {
            server.write(chunk);
            QTest::qWait(30);
        }
        QTRY_COMPARE(received, samples);
    }

    void partialLineWaitsForItsEnd() {
        StreamServer server;
        QNetworkAccessManager network;
        TrafficStream stream(&network);
        QSignalSpy samples(&stream, &TrafficStream::sample);
        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);

        server.write("{\"up\":10,\"down\":20}");
        QTest::qWait(200);
        QCOMPARE(samples.size(), 0);
        server.write("\n");
        QTRY_COMPARE(samples.size(), 1);
    }

    void orderlyEndRequestsAgainAtOnce() {
        StreamServer server;
        QNetworkAccessManager network;
        TrafficStream stream(&network);
        QSignalSpy samples(&stream, &TrafficStream::sample);
        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);

        // The last line of a body needs no terminator.
        server.write("{\"up\":1,\"down\":1}");
        QElapsedTimer sinceEnd;
        sinceEnd.start();
        server.endLatest();
        QTRY_COMPARE(server.requests(), 2);
        QVERIFY2(sinceEnd.elapsed() < 900, "an orderly end must not wait for the retry pause");
        QCOMPARE(samples.size(), 1);
    }

    void refusedRequestRetriesEverySecondUntilStopped() {
        const quint16 closedPort = TestSupport::freeLocalPort();
        QNetworkAccessManager network;
        TrafficStream stream(&network);
        QSignalSpy attempts(&stream, &TrafficStream::requestSent);

        stream.start(trafficRequest(closedPort));
        QTest::qWait(3500);
        // Attempts at about 0, 1, 2 and 3 s; slack for a loaded machine.
        QVERIFY2(attempts.size() >= 3 && attempts.size() <= 5,
                 qPrintable(QString::number(attempts.size())));

        stream.stop();
        QVERIFY(!stream.isRunning());
        const qsizetype stoppedAt = attempts.size();
        QTest::qWait(1500);
        QCOMPARE(attempts.size(), stoppedAt);
    }

    void refusingControllerIsAskedOncePerSecond() {
        StreamServer server("HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n");
        QNetworkAccessManager network;
        TrafficStream stream(&network);
        stream.start(trafficRequest(server.port()));
        QTest::qWait(1500);
        QVERIFY2(server.requests() >= 1 && server.requests() <= 3,
                 qPrintable(QString::number(server.requests())));
    }

    void accessManagerGoingFirstEndsTheStream() {
        StreamServer server;
        auto network = std::make_unique<QNetworkAccessManager>();
        TrafficStream stream(network.get());
        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);
        network.reset(); // its replies die with it
        QTest::qWait(1500);
        QCOMPARE(server.requests(), 1);
    }

    void restartLeavesOneStream() {
        StreamServer server;
        QNetworkAccessManager network;
        TrafficStream stream(&network);
        QList<LiveTraffic> received;
        QObject::connect(&stream, &TrafficStream::sample, &stream,
                         [&received](LiveTraffic traffic) { received.append(traffic); });

        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);
        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 2);
        QTRY_COMPARE(server.openStreams(), 1);

        server.write("{\"up\":42,\"down\":43}\n");
        QTRY_COMPARE(received, (QList<LiveTraffic>{{42, 43}}));
        QTest::qWait(1200); // a retired loop would have asked again by now
        QCOMPARE(server.requests(), 2);
        QCOMPARE(server.openStreams(), 1);

        stream.stop();
        QTRY_COMPARE(server.openStreams(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTrafficStream)
#include "tst_traffic_stream.moc"
