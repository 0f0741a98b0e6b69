// Starting and ending the development core: files it must refuse, and signals that end it.
#include "DevCoreHarness.h"

#include <QtTest>

#include <csignal>

class DevCoreStartupTest : public QObject {
    Q_OBJECT
private slots:
    void refusesFileWithoutListening_data();
    void refusesFileWithoutListening();
    void endsCleanlyOnSignal_data();
    void endsCleanlyOnSignal();
};

void DevCoreStartupTest::refusesFileWithoutListening_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("reason");
    QTest::newRow("unparsable") << "mode: rule"
                                << "mode: [rule"
                                << "invalid configuration";
    QTest::newRow("no mixed-port") << "mixed-port: %MIXED%\n"
                                   << ""
                                   << "\"mixed-port\"";
    QTest::newRow("no external-controller") << "external-controller: 127.0.0.1:%CONTROLLER%\n"
                                            << ""
                                            << "\"external-controller\"";
    QTest::newRow("no proxies") << "proxies:\n  - name: \"Node-A\""
                                << "nodes:\n  - name: \"Node-A\""
                                << "\"proxies\"";
    QTest::newRow("no proxy-groups") << "proxy-groups:"
                                     << "groups:"
                                     << "\"proxy-groups\"";
    QTest::newRow("no rules") << "rules:"
                              << "other:"
                              << "\"rules\"";
    QTest::newRow("rule names unknown target") << "  - MATCH,DIRECT"
                                               << "  - MATCH,Nowhere"
                                               << "\"Nowhere\"";
    QTest::newRow("group names unknown node") << "      - \"Node-A\""
                                              << "      - \"Node-B\""
                                              << "\"Node-B\"";
}

void DevCoreStartupTest::refusesFileWithoutListening() {
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, reason);
    DevCoreHarness core;
    QVERIFY(core.isValid());
    QString text = minimalConfig();
    QVERIFY(text.contains(from));
    core.writeConfig(text.replace(from, to));

    QByteArray errors;
    QByteArray output;
    const int exitCode = core.runToExit(&errors, &output);
    QVERIFY2(exitCode > 0, qPrintable(QString::number(exitCode)));
    QVERIFY2(errors.contains(reason.toUtf8()), errors.constData());
    QCOMPARE(errors.count('\n'), 1);
    QVERIFY(!output.contains("listening"));
    QVERIFY(!isListening(core.controllerPort));
    QVERIFY(!isListening(core.mixedPort));
}

void DevCoreStartupTest::endsCleanlyOnSignal_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void DevCoreStartupTest::endsCleanlyOnSignal() {
    QFETCH(int, signalNumber);
    DevCoreHarness core;
    core.writeConfig(minimalConfig());
    QVERIFY(core.start());
    QVERIFY(isListening(core.mixedPort));

    QCOMPARE(core.terminate(signalNumber), 0);
    QVERIFY(!isListening(core.controllerPort));
    QVERIFY(!isListening(core.mixedPort));
}

QTEST_GUILESS_MAIN(DevCoreStartupTest)
#include "tst_devcore_startup.moc"
