// Settings and configuration text at the sizes a heavy user reaches: 10,000 custom rules.
#include "config/AppConfig.h"
#include "config/MihomoYaml.h"
#include "config/RuleParser.h"
#include "config/SettingsStore.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

AppConfig configWithRules(int count) {
    AppConfig config = AppConfig::empty();
    config.serverIP = QStringLiteral("203.0.113.10");
    config.uuid = QStringLiteral("6f1c2a4e-8b3d-4e5f-9a7b-1c2d3e4f5a6b");
    config.publicKey = QStringLiteral("Jx3sK_vQ-9mZpR2tY7uWc1dE5fG8hI0jL4nO6qS2uV0");
    config.shortId = QStringLiteral("a1b2c3d4");
    config.deviceToken = QStringLiteral("device-token");
    config.customRules.reserve(count);
    for (int i = 0; i < count; ++i) {
        // A mix of what users add: domains, keywords, addresses and networks.
        QString pattern;
        switch (i % 4) {
        case 0:
            pattern = QStringLiteral("shop%1.example.com").arg(i);
            break;
        case 1:
            pattern = QStringLiteral("kw:video%1").arg(i);
            break;
        case 2:
            pattern = QStringLiteral("10.%1.%2.1").arg((i >> 8) & 255).arg(i & 255);
            break;
        default:
            pattern = QStringLiteral("192.168.%1.0/24").arg(i & 255);
        }
        config.customRules.append({QUuid::createUuid(), pattern,
                                   i % 3 ? CustomRuleAction::Direct : CustomRuleAction::Proxy});
    }
    return config;
}

void BM_buildMihomoYAML_10000Rules(benchmark::State& state) {
    const AppConfig config = configWithRules(10'000);
    const MihomoYamlInputs inputs{17890, 19090, QStringLiteral("0123456789abcdef0123456789abcdef")};
    for (auto _ : state) {
        benchmark::DoNotOptimize(buildMihomoYAML(config, inputs));
    }
}
BENCHMARK(BM_buildMihomoYAML_10000Rules)->Unit(benchmark::kMillisecond);

void BM_loadAndSaveSettings_10000Rules(benchmark::State& state) {
    QTemporaryDir dir;
    const SettingsStore store(dir.filePath(QStringLiteral("app_config.json")), QString());
    store.save(configWithRules(10'000));
    for (auto _ : state) {
        const AppConfig config = store.load();
        if (config.customRules.size() != 10'000 || !store.save(config)) {
            state.SkipWithError("settings did not round-trip");
            break;
        }
    }
}
BENCHMARK(BM_loadAndSaveSettings_10000Rules)->Unit(benchmark::kMillisecond);

void BM_normalizePattern(benchmark::State& state) {
    const QStringList inputs = {QStringLiteral("  Sub.Shop.EXAMPLE  "),
                                QStringLiteral("https://Sub.Shop.example:8443/path?q=1"),
                                QStringLiteral("*.shop.example"),
                                QStringLiteral("shop.example"),
                                QStringLiteral("192.168.1.0/24"),
                                QStringLiteral("10.0.0.1:8080"),
                                QStringLiteral("kw:Video"),
                                QStringLiteral("www.example.com")};
    qsizetype i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(RuleParser::normalizePattern(inputs[i]));
        i = (i + 1) % inputs.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_normalizePattern);

} // namespace

BENCHMARK_MAIN();
