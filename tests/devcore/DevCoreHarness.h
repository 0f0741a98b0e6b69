#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

struct HttpResult {
    int status = 0;
    QByteArray body;
    QJsonObject json() const;
};

// A configuration whose ports and secret come from the harness: "%MIXED%", "%CONTROLLER%" and
// "%SECRET_LINE%" are replaced when it is written.
QString minimalConfig(const QString& extraRules = {});

// One development core process in a temporary data folder, driven over real loopback sockets.
class DevCoreHarness {
public:
    DevCoreHarness();
    ~DevCoreHarness();

    bool isValid() const { return m_dataDir.isValid() && mixedPort != 0 && controllerPort != 0; }
    QString dataDir() const { return m_dataDir.path(); }
    QString configPath() const { return dataDir() + QStringLiteral("/config.yaml"); }

    // Writes text (placeholders replaced) to path, by default the configuration file.
    QString writeConfig(const QString& text, const QString& path = {}) const;
    // Starts the core with configPath() and waits until "/version" answers 200.
    bool start();
    // Runs the core to its end, for configurations it must refuse.
    int runToExit(QByteArray* errorOutput, QByteArray* standardOutput);
    int terminate(int signalNumber); // exit code, or -1 when it did not end normally
    QByteArray log() const;          // standard output of start()ed cores

    // Controller requests carry the secret unless told otherwise.
    HttpResult request(const QByteArray& method, const QString& path, const QByteArray& body = {},
                       const QByteArray& token = QByteArray("default")) const;

    quint16 mixedPort = 0;
    quint16 controllerPort = 0;
    QString secret;

private:
    QTemporaryDir m_dataDir;
    QTemporaryDir m_logDir;
    std::unique_ptr<QProcess> m_process;
};

// A blocking HTTP/1.1 exchange on 127.0.0.1 with Connection: close.
HttpResult httpRequest(quint16 port, const QByteArray& method, const QString& path,
                       const QByteArray& body, const QByteArray& authorization);
// Whether anything accepts connections on 127.0.0.1:port.
bool isListening(quint16 port);
