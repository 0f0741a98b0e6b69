// The core session's states, in the order a start, a failure, a stop and a restart pass through
// them, with the development core (or a script core) as a real process.
#include "TestBundle.h"
#include "TestSupport.h"

#include "config/AppConfig.h"
#include "config/MihomoYaml.h"
#include "controller/CoreSession.h"
#include "files/PrivateFiles.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

namespace {

using State = CoreSession::State;
using States = QList<State>;
constexpr int kTimeoutMs = 20'000;

// Runs until SIGTERM, never listens; its command line is that of a core.
const QString kIdleCore = QStringLiteral("trap 'kill $! 2>/dev/null; exit 0' TERM\n"
                                         "sleep 60 &\n"
                                         "wait\n");

AppConfig defaultSettings(const TestBundle& bundle) {
    QFile file(bundle.layout().resource(QStringLiteral("default_config.json")));
    if (!file.open(QIODevice::ReadOnly))
        return AppConfig::empty();
    return AppConfigCodec::decode(file.readAll()).value_or(AppConfig::empty());
}

// A session over the bundle that records every state it enters and the failures it reports.
struct RecordedSession {
    // `idleCore`: the core never answers, so the readiness wait may be short.
    RecordedSession(const TestBundle& bundle, bool global, bool idleCore) {
        ensurePrivateFolder(bundle.dataDir()); // as the controller makes it
        environment = idleCore ? bundle.shortReadinessEnvironment() : bundle.environment();
        environment.recoveryPausesMs = {20};
        const AppConfig settings = defaultSettings(bundle);
        const MihomoYamlInputs inputs{bundle.mixedPort(), bundle.apiPort(), TestBundle::secret()};
        session = std::make_unique<CoreSession>(
            CoreSession::Setup::from(environment, TestBundle::secret()), &network,
            [settings, inputs, global] {
                return CoreSession::StartPlan{buildMihomoYAML(settings, inputs), false, global};
            });
        QObject::connect(session.get(), &CoreSession::stateChanged, session.get(),
                         [this](State state) { states.append(state); });
        QObject::connect(session.get(), &CoreSession::failed, session.get(),
                         [this](const ControlError& error) { failures.append(error.code); });
    }

    ManagerEnvironment environment; // holds the listening-socket reader the session borrows
    QNetworkAccessManager network;
    std::unique_ptr<CoreSession> session;
    States states;
    QList<int> failures;
};

} // namespace

class CoreSessionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        const TestBundle bundle;
        QVERIFY2(bundle.isValid(), "the development core and the launcher must be staged");
    }

    void transitions_data() {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<States>("expected");
        QTest::addColumn<QList<int>>("failures");
        const States started{State::Pending, State::Starting, State::AwaitingController};
        const States stopped{State::Stopping, State::Stopped};
        QTest::newRow("connect, then stop")
            << "connect" << started + States{State::Running} + stopped << QList<int>();
        QTest::newRow("global mode selects the group")
            << "global" << started + States{State::SelectingGlobal, State::Running} + stopped
            << QList<int>();
        QTest::newRow("core missing")
            << "core missing" << States{State::Pending, State::Starting, State::Stopped}
            << QList<int>{1};
        QTest::newRow("controller never answers")
            << "core idle" << started + States{State::Stopped} << QList<int>{3};
        QTest::newRow("stopped while awaiting the controller")
            << "stop while awaiting" << started + stopped << QList<int>();
        QTest::newRow("stopped before the start began")
            << "stop at once" << States{State::Pending} + stopped << QList<int>();
        QTest::newRow("core killed while running is restarted")
            << "kill"
            << started +
                   States{State::Running, State::Recovering, State::Starting,
                          State::AwaitingController, State::Running} +
                   stopped
            << QList<int>();
        QTest::newRow("core killed once too often gives up")
            << "kill twice" << started + States{State::Running,  State::Recovering,
                                                State::Starting, State::AwaitingController,
                                                State::Running,  State::Stopped}
            << QList<int>{0};
    }
    void transitions() {
        QFETCH(QString, scenario);
        QFETCH(States, expected);
        QFETCH(QList<int>, failures);
        TestBundle bundle;
        if (scenario == QLatin1String("core missing"))
            QVERIFY(QFile::remove(bundle.layout().coreBinary));
        const bool idleCore = scenario == QLatin1String("core idle") ||
                              scenario == QLatin1String("stop while awaiting");
        if (idleCore)
            bundle.useScriptCore(kIdleCore);
        RecordedSession recorded(bundle, scenario == QLatin1String("global"), idleCore);
        CoreSession& session = *recorded.session;

        session.start();
        if (scenario == QLatin1String("stop at once")) {
            session.stop();
        } else if (scenario == QLatin1String("stop while awaiting")) {
            QTRY_COMPARE_WITH_TIMEOUT(session.state(), State::AwaitingController, kTimeoutMs);
            session.stop();
        } else if (scenario.startsWith(QLatin1String("kill"))) {
            for (int round = 0; round < (scenario == QLatin1String("kill") ? 1 : 2); ++round) {
                QTRY_COMPARE_WITH_TIMEOUT(session.state(), State::Running, kTimeoutMs);
                const QList<qint64> cores = bundle.corePids();
                QCOMPARE(cores.size(), 1);
                QCOMPARE(::kill(pid_t(cores.first()), SIGKILL), 0);
                QTRY_VERIFY_WITH_TIMEOUT(session.state() != State::Running, kTimeoutMs);
            }
        }
        // A failure stops the session by itself; otherwise the test stops it once it got there.
        const bool stopsItself = !failures.isEmpty();
        const qsizetype reached = stopsItself ? expected.size() : expected.size() - 2;
        QTRY_VERIFY_WITH_TIMEOUT(recorded.states.size() >= reached, kTimeoutMs);
        if (session.state() != State::Stopped)
            session.stop();
        QCOMPARE(recorded.states, expected);
        QCOMPARE(recorded.failures, failures);
        QVERIFY(bundle.corePids().isEmpty());
    }
};

QTEST_GUILESS_MAIN(CoreSessionTest)
#include "tst_core_session.moc"
