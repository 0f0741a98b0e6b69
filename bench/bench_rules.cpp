// The rules sheet with a long list of custom rules: opening it, and adding or removing one rule
// while it is open, each until the sheet has painted the change.
//
//   bench_rules [--benchmark_filter=...]      (QT_QPA_PLATFORM defaults to offscreen)
//
// The controller runs over a temporary data folder, so the settings file it saves on each change
// (100,000 rules) is written for real, as the application writes it.
#include "ManagerTestAccess.h"
#include "controller/MihomoManager.h"
#include "ui/ContentView.h"
#include "ui/Sheet.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

namespace {

constexpr int RuleCount = 100'000;

struct Setup {
    explicit Setup(int rules) {
        ManagerEnvironment environment;
        environment.paths.dataDir = dir.filePath(QStringLiteral("data"));
        environment.paths.homeDir = dir.filePath(QStringLiteral("home"));
        environment.paths.bundle =
            BundleLayout::linuxLayout(dir.filePath(QStringLiteral("bin/vantrel-vpn")));
        environment.platform.pkillPath = QStringLiteral("/bin/true");
        environment.apiPort = 1; // refused at once
        manager = std::make_unique<MihomoManager>(std::move(environment));
        AppConfig config = manager->config();
        for (int i = 0; i < rules; ++i)
            config.customRules.append({QUuid::createUuid(),
                                       QStringLiteral("host%1.example.com").arg(i),
                                       i % 3 ? CustomRuleAction::Direct : CustomRuleAction::Proxy});
        manager->setConfig(config);
        view = std::make_unique<ContentView>(*manager);
        view->show();
        QApplication::processEvents();
    }

    // Lets the sheet lay out and paint what changed.
    static void settle() {
        QApplication::processEvents();
        QApplication::processEvents();
    }

    QTemporaryDir dir;
    std::unique_ptr<MihomoManager> manager;
    std::unique_ptr<ContentView> view;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The first opening builds the sheet; later ones show it again.
void BM_OpenRulesSheet(benchmark::State& state) {
    for (auto _ : state) {
        Setup setup(int(state.range(0)));
        const auto start = std::chrono::steady_clock::now();
        setup.manager->refreshConnections();
        setup.manager->setShowRules(true);
        Setup::settle();
        state.SetIterationTime(secondsSince(start));
        if (!setup.view->findChild<Sheet*>(QStringLiteral("rulesSheet"))->isVisible())
            state.SkipWithError("the sheet did not open");
    }
}
BENCHMARK(BM_OpenRulesSheet)
    ->Arg(RuleCount)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// Arg 1: connected, so that each change also writes the core's configuration (on a worker
// thread, which the measured time does not wait for) and asks the core to reload (nothing
// listens on the controller port here: the request is refused at once).
void BM_AddRule(benchmark::State& state) {
    Setup setup(int(state.range(0)));
    if (state.range(1))
        MihomoManagerTestAccess::setIsConnected(*setup.manager, true);
    setup.manager->setShowRules(true);
    Setup::settle();
    int next = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        setup.manager->addCustomRule(QStringLiteral("added%1.example.org").arg(next++),
                                     CustomRuleAction::Direct);
        Setup::settle();
        state.SetIterationTime(secondsSince(start));
    }
    state.counters["rules"] = double(setup.manager->config().customRules.size());
}
BENCHMARK(BM_AddRule)
    ->Args({RuleCount, 0})
    ->Args({RuleCount, 1})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

void BM_RemoveRule(benchmark::State& state) {
    Setup setup(int(state.range(0)));
    setup.manager->setShowRules(true);
    Setup::settle();
    for (auto _ : state) {
        const QList<CustomRule>& rules = setup.manager->config().customRules;
        const CustomRule middle = rules[rules.size() / 2];
        const auto start = std::chrono::steady_clock::now();
        setup.manager->removeCustomRule(middle);
        Setup::settle();
        state.SetIterationTime(secondsSince(start));
    }
    state.counters["rules"] = double(setup.manager->config().customRules.size());
}
BENCHMARK(BM_RemoveRule)
    ->Arg(RuleCount)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
