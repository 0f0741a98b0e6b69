// vantrel-config: prints what the application derives from its settings, for support and
// debugging. The application itself takes no options.
#include "config/AppConfig.h"
#include "config/MihomoYaml.h"
#include "config/RuleParser.h"
#include "config/SettingsStore.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace {

const char usage[] =
    "Usage:\n"
    "  vantrel-config render SETTINGS_JSON\n"
    "      Print the core configuration the application writes for this settings file\n"
    "      (app_config.json), byte for byte, with no line feed after the last line. The\n"
    "      application makes a random controller secret per run and keeps it in memory only;\n"
    "      the \"secret:\" line printed here carries a freshly made one instead.\n"
    "  vantrel-config normalize [--proxy] PATTERN...\n"
    "      Print, per pattern, the normalized pattern, the core rule line and the fake-IP\n"
    "      filter entry a custom rule with this pattern produces (target DIRECT, or PROXY\n"
    "      with --proxy), or why it produces none.\n"
    "  vantrel-config --help\n";

void print(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QString randomSecret() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex());
}

// A pattern as typed, quoted so that blanks and control characters show.
QString quoted(const QString& text) {
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\') {
            out += u'\\';
            out += c;
        } else if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out + u'"';
}

int render(const QString& path) {
    QString reason;
    const auto bytes = readRegularFile(path, maxSettingsFileBytes, &reason);
    if (!bytes) {
        print(stderr, QStringLiteral("vantrel-config: %1: %2\n").arg(path, reason));
        return 1;
    }
    const auto config = AppConfigCodec::decode(*bytes, &reason);
    if (!config) {
        print(stderr, QStringLiteral("vantrel-config: %1: %2\n").arg(path, reason));
        return 1;
    }
    print(stdout, buildMihomoYAML(*config, {17890, 19090, randomSecret()}));
    return 0;
}

int normalize(const QStringList& patterns, CustomRuleAction action) {
    for (const QString& pattern : patterns) {
        const QString normalized = RuleParser::normalizePattern(pattern);
        QString report = QStringLiteral("pattern: %1\n  normalized: %2\n")
                             .arg(quoted(pattern), quoted(normalized));
        const CustomRule rule{QUuid(), pattern, action};
        const auto lines = rule.toMihomoLines();
        if (!lines) {
            report += QStringLiteral("  no rule: the pattern yields none\n");
        } else if (!RuleParser::isWritablePattern(normalized)) {
            report += QStringLiteral("  no rule: refused, the configuration cannot carry it\n");
        } else {
            report += QStringLiteral("  rule: - %1\n").arg(lines->ruleLine);
            report +=
                lines->fakeIpPattern
                    ? QStringLiteral("  fake-ip-filter: - \"%1\"\n").arg(*lines->fakeIpPattern)
                    : QStringLiteral("  fake-ip-filter: none\n");
        }
        print(stdout, report);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    if (!args.isEmpty() &&
        (args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (args.size() == 2 && args.first() == QLatin1String("render")) {
        return render(args.at(1));
    }
    if (args.size() >= 2 && args.first() == QLatin1String("normalize")) {
        args.removeFirst();
        CustomRuleAction action = CustomRuleAction::Direct;
        if (args.first() == QLatin1String("--proxy")) {
            action = CustomRuleAction::Proxy;
            args.removeFirst();
        }
        if (!args.isEmpty()) {
            return normalize(args, action);
        }
    }
    std::fputs(usage, stderr);
    return 2;
}
