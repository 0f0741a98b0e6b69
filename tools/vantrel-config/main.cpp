// vantrel-config: prints what the application derives from its settings, for support and
// debugging. The application itself takes no options.
#include "config/AccountImport.h"
#include "config/AppConfig.h"
#include "config/CoreNames.h"
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
    "  vantrel-config import SETTINGS_JSON LINK [TOKEN]\n"
    "      Print the settings file (app_config.json) the application writes when the account\n"
    "      of this vless:// share link, and the access token when one is given, is imported\n"
    "      over this settings file. A link that cannot be imported exits with status 1 and\n"
    "      the reason; nothing is written anywhere.\n"
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

// The settings file as the application reads it; the reason goes to standard error.
std::optional<AppConfig> readSettings(const QString& path) {
    QString reason;
    const auto bytes = readRegularFile(path, maxSettingsFileBytes, &reason);
    const auto config = bytes ? AppConfigCodec::decode(*bytes, &reason) : std::nullopt;
    if (!config)
        print(stderr, QStringLiteral("vantrel-config: %1: %2\n").arg(path, reason));
    return config;
}

int render(const QString& path) {
    const auto config = readSettings(path);
    if (!config)
        return 1;
    print(stdout, buildMihomoYAML(*config, {CoreNames::defaultMixedPort, CoreNames::defaultApiPort,
                                            randomSecret()}));
    return 0;
}

int importAccount(const QString& path, const QString& link, const QString& token) {
    QString linkError;
    QString tokenError;
    const auto account = AccountImport::parse(link, token, &linkError, &tokenError);
    if (!account) {
        const QString reason = linkError.isEmpty() ? tokenError : linkError;
        print(stderr, QStringLiteral("vantrel-config: %1\n").arg(reason));
        return 1;
    }
    const auto config = readSettings(path);
    if (!config)
        return 1;
    const QByteArray bytes = AppConfigCodec::encode(account->appliedTo(*config));
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
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
    if ((args.size() == 3 || args.size() == 4) && args.first() == QLatin1String("import")) {
        return importAccount(args.at(1), args.at(2), args.value(3));
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
