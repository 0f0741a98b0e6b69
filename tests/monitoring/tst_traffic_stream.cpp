// The traffic stream against a raw HTTP server on 127.0.0.1 that writes its endless body in
// chunks of the test's choosing.
#include "RawHttpServer.h"
#include "TestSupport.h"
#include "monitoring/TrafficStream.h"

#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

namespace {

// The pause between attempts, shorter than the application's second so that the tests run fast.
constexpr int kRetryPauseMs = 300;

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

// A stream reading from a StreamServer, with every sample it decoded.
struct RecordedStream {
    RecordedStream() {
        QObject::connect(&stream, &TrafficStream::sample, &stream,
                         [this](LiveTraffic traffic) { received.append(traffic); });
    }
    StreamServer server;
    QNetworkAccessManager network;
    TrafficStream stream{&network, kRetryPauseMs};
    QList<LiveTraffic> received;
};

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
        RecordedStream recorded;
        StreamServer& server = recorded.server;
        TrafficStream& stream = recorded.stream;
        const QList<LiveTraffic>& received = recorded.received;

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
        TrafficStream stream(&network, kRetryPauseMs);
        QSignalSpy samples(&stream, &TrafficStream::sample);
        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);

        server.write("{\"up\":10,\"down\":20}");
        QTest::qWait(200);
        QCOMPARE(samples.size(), 0);
        server.write("\n");
        QTRY_COMPARE(samples.size(), 1);
    }

    // Any end of the body waits for the retry pause, an empty 200 included: a few requests in
    // one and a half pauses, not one after another.
    void endedBodiesWaitForThePause_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("samplesPerBody");
        QTest::newRow("empty 200") << QByteArray() << 0;
        // The last line of a body needs no terminator.
        QTest::newRow("one sample, then the end") << QByteArray("{\"up\":1,\"down\":1}") << 1;
    }
    void endedBodiesWaitForThePause() {
        QFETCH(QByteArray, body);
        QFETCH(int, samplesPerBody);
        RawHttpServer server([&body](const QByteArray&) {
            return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
                   "\r\n\r\n" + body;
        });
        QNetworkAccessManager network;
        TrafficStream stream(&network, kRetryPauseMs);
        QSignalSpy samples(&stream, &TrafficStream::sample);
        stream.start(QNetworkRequest(QUrl(server.baseUrl() + QStringLiteral("/traffic"))));
        QTest::qWait(kRetryPauseMs * 3 / 2);
        const qsizetype requests = server.heads.size();
        QVERIFY2(requests >= 1 && requests <= 3, qPrintable(QString::number(requests)));
        QCOMPARE(samples.size(), requests * samplesPerBody);
    }

    // A line past 64 KiB, terminated or not, drops the stream; it is asked for again after the
    // pause.
    void oversizedLineDropsTheStream_data() {
        QTest::addColumn<QByteArray>("chunk");
        QTest::newRow("endless line") << QByteArray(200 * 1024, 'x');
        QTest::newRow("one sample line over 64 KiB")
            << "{\"up\":1,\"down\":2,\"pad\":\"" + QByteArray(70 * 1024, 'x') + "\"}\n";
    }
    void oversizedLineDropsTheStream() {
        QFETCH(QByteArray, chunk);
        RecordedStream recorded;
        StreamServer& server = recorded.server;
        TrafficStream& stream = recorded.stream;
        const QList<LiveTraffic>& received = recorded.received;
        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);
        server.write("{\"up\":5,\"down\":6}\n");
        QTRY_COMPARE(received, (QList<LiveTraffic>{{5, 6}}));

        server.write(chunk);
        QTRY_COMPARE(server.requests(), 2);
        QCOMPARE(server.openStreams(), 1); // the first one was dropped
        QCOMPARE(received, (QList<LiveTraffic>{{5, 6}}));
    }

    void refusedRequestRetriesEveryPauseUntilStopped() {
        const quint16 closedPort = TestSupport::freeLocalPort();
        QNetworkAccessManager network;
        TrafficStream stream(&network, kRetryPauseMs);
        QSignalSpy attempts(&stream, &TrafficStream::requestSent);

        stream.start(trafficRequest(closedPort));
        QTest::qWait(kRetryPauseMs * 7 / 2);
        // Attempts at about 0, 1, 2 and 3 pauses; slack for a loaded machine.
        QVERIFY2(attempts.size() >= 3 && attempts.size() <= 5,
                 qPrintable(QString::number(attempts.size())));

        stream.stop();
        QVERIFY(!stream.isRunning());
        const qsizetype stoppedAt = attempts.size();
        QTest::qWait(kRetryPauseMs * 3 / 2);
        QCOMPARE(attempts.size(), stoppedAt);
    }

    void refusingControllerIsAskedOncePerPause() {
        StreamServer server("HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n");
        QNetworkAccessManager network;
        TrafficStream stream(&network, kRetryPauseMs);
        stream.start(trafficRequest(server.port()));
        QTest::qWait(kRetryPauseMs * 3 / 2);
        QVERIFY2(server.requests() >= 1 && server.requests() <= 3,
                 qPrintable(QString::number(server.requests())));
    }

    void accessManagerGoingFirstEndsTheStream() {
        StreamServer server;
        auto network = std::make_unique<QNetworkAccessManager>();
        TrafficStream stream(network.get(), kRetryPauseMs);
        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);
        network.reset(); // its replies die with it
        QTest::qWait(kRetryPauseMs * 3 / 2);
        QCOMPARE(server.requests(), 1);
    }

    void restartLeavesOneStream() {
        RecordedStream recorded;
        StreamServer& server = recorded.server;
        TrafficStream& stream = recorded.stream;
        const QList<LiveTraffic>& received = recorded.received;

        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 1);
        stream.start(trafficRequest(server.port()));
        QTRY_COMPARE(server.requests(), 2);
        QTRY_COMPARE(server.openStreams(), 1);

        server.write("{\"up\":42,\"down\":43}\n");
        QTRY_COMPARE(received, (QList<LiveTraffic>{{42, 43}}));
        QTest::qWait(kRetryPauseMs * 3 / 2); // a retired loop would have asked again by now
        QCOMPARE(server.requests(), 2);
        QCOMPARE(server.openStreams(), 1);

        stream.stop();
        QTRY_COMPARE(server.openStreams(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTrafficStream)
#include "tst_traffic_stream.moc"
