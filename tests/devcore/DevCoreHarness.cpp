#include "DevCoreHarness.h"

#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QThread>

#include <csignal>

QJsonObject HttpResult::json() const {
    return QJsonDocument::fromJson(body).object();
}

QString minimalConfig(const QString& extraRules) {
    return QStringLiteral(R"(mixed-port: %MIXED%
allow-lan: false
mode: rule
log-level: info
external-controller: 127.0.0.1:%CONTROLLER%
%SECRET_LINE%
proxies:
  - name: "Node-A"
    type: vless
    server: 127.0.0.1
    port: 9
proxy-groups:
  - name: "PROXY"
    type: fallback
    proxies:
      - "Node-A"
rules:
%1  - DOMAIN-KEYWORD,blocked,REJECT
  - DOMAIN,localhost,PROXY
  - IP-CIDR,127.0.0.0/8,PROXY,no-resolve
  - GEOSITE,cn,DIRECT
  - MATCH,DIRECT
)")
        .arg(extraRules);
}

DevCoreHarness::DevCoreHarness()
    : mixedPort(TestSupport::freeLocalPort()), controllerPort(TestSupport::freeLocalPort()),
      secret(QStringLiteral("harness-secret")) {
    while (controllerPort == mixedPort)
        controllerPort = TestSupport::freeLocalPort();
}

DevCoreHarness::~DevCoreHarness() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

QString DevCoreHarness::writeConfig(const QString& text, const QString& path) const {
    const QString target = path.isEmpty() ? configPath() : path;
    QString content = text;
    content.replace(QStringLiteral("%MIXED%"), QString::number(mixedPort));
    content.replace(QStringLiteral("%CONTROLLER%"), QString::number(controllerPort));
    content.replace(QStringLiteral("%SECRET_LINE%"),
                    secret.isEmpty() ? QString() : QStringLiteral("secret: ") + secret);
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write(content.toUtf8());
    return target;
}

bool DevCoreHarness::start() {
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->setStandardOutputFile(m_logDir.filePath(QStringLiteral("core.log")),
                                     QIODevice::Append);
    m_process->start(TestSupport::stagedCore(),
                     {QStringLiteral("-d"), dataDir(), QStringLiteral("-f"), configPath()});
    if (!m_process->waitForStarted(5000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && m_process->state() == QProcess::Running) {
        if (request("GET", QStringLiteral("/version")).status == 200)
            return true;
        QThread::msleep(50);
    }
    return false;
}

int DevCoreHarness::runToExit(QByteArray* errorOutput, QByteArray* standardOutput) {
    m_process = std::make_unique<QProcess>();
    m_process->start(TestSupport::stagedCore(),
                     {QStringLiteral("-d"), dataDir(), QStringLiteral("-f"), configPath()});
    if (!m_process->waitForFinished(10000) || m_process->exitStatus() != QProcess::NormalExit)
        return -1;
    *errorOutput = m_process->readAllStandardError();
    *standardOutput = m_process->readAllStandardOutput();
    return m_process->exitCode();
}

int DevCoreHarness::terminate(int signalNumber) {
    ::kill(pid_t(m_process->processId()), signalNumber);
    if (!m_process->waitForFinished(10000) || m_process->exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process->exitCode();
}

QByteArray DevCoreHarness::log() const {
    QFile file(m_logDir.filePath(QStringLiteral("core.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

HttpResult DevCoreHarness::request(const QByteArray& method, const QString& path,
                                   const QByteArray& body, const QByteArray& token) const {
    const QByteArray bearer = token == "default" ? secret.toUtf8() : token;
    return httpRequest(controllerPort, method, path, body,
                       bearer.isEmpty() ? QByteArray() : "Bearer " + bearer);
}

HttpResult httpRequest(quint16 port, const QByteArray& method, const QString& path,
                       const QByteArray& body, const QByteArray& authorization) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return {};
    QByteArray head = method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                      "Connection: close\r\nContent-Type: application/json\r\n";
    if (!authorization.isEmpty())
        head += "Authorization: " + authorization + "\r\n";
    if (!body.isEmpty() || method == "PUT" || method == "PATCH")
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    socket.write(head + "\r\n" + body);
    QByteArray response;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        response += socket.readAll();
    response += socket.readAll();
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return {};
    HttpResult result;
    result.status = response.mid(9, 3).toInt();
    result.body = response.mid(headerEnd + 4);
    return result;
}

bool isListening(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(1000);
}
