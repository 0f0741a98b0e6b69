#include "FakeTools.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>

namespace {
// Every argument ends with a zero byte; a call ends with the record separator.
const QByteArray kEndOfCall = QByteArrayLiteral("\x1e");
} // namespace

FakeTools::FakeTools() {
    QDir(m_dir.path()).mkpath(QStringLiteral("answers"));
}

QString FakeTools::add(const QString& name, int exitCode, const QString& tail) {
    const QStringList lines = {
        QStringLiteral("#!/bin/sh"),
        QStringLiteral("log='%1/calls.log'"),
        QStringLiteral("printf '%s\\0' '%2' >> \"$log\""),
        QStringLiteral("for a in \"$@\"; do printf '%s\\0' \"$a\" >> \"$log\"; done"),
        QStringLiteral("printf '\\036\\0' >> \"$log\""),
        QStringLiteral("answer=\"%1/answers/%2$(printf '_%s' \"$@\")\""),
        QStringLiteral("[ -f \"$answer\" ] && cat \"$answer\""),
        QStringLiteral("%3"),
        QStringLiteral("exit %4"),
    };
    const QString body =
        lines.join(QLatin1Char('\n')).arg(m_dir.path(), name, tail, QString::number(exitCode));
    return TestSupport::writeScript(QDir(m_dir.path()).filePath(name), body);
}

QString FakeTools::addGsettings() {
    return add(QStringLiteral("gsettings"), 0,
               QStringLiteral(R"(state="%1/state/gsettings"
mkdir -p "$state"
case "$1" in
set) printf '%s' "$4" > "$state/$2 $3" ;;
get) [ -f "$state/$2 $3" ] && { cat "$state/$2 $3"; echo; } ;;
esac)")
                   .arg(m_dir.path()));
}

void FakeTools::addKdeConfig(const QString& version) {
    // One file per key: state/kconfig/<file>/<group>/<key>.
    const QString options = QStringLiteral(R"(file=; group=; key=; default=; delete=0; value=
while [ $# -gt 0 ]; do
  case "$1" in
  --file) file=$2; shift 2 ;;
  --group) group=$2; shift 2 ;;
  --key) key=$2; shift 2 ;;
  --default) default=$2; shift 2 ;;
  --delete) delete=1; shift ;;
  *) value=$1; shift ;;
  esac
done
dir="%1/state/kconfig/$file/$group"
mkdir -p "$dir"
)")
                                .arg(m_dir.path());
    add(QStringLiteral("kreadconfig") + version, 0,
        options +
            QStringLiteral(
                R"(if [ -f "$dir/$key" ]; then cat "$dir/$key"; else printf '%s' "$default"; fi
echo)"));
    add(QStringLiteral("kwriteconfig") + version, 0,
        options +
            QStringLiteral(
                R"(if [ $delete = 1 ]; then rm -f "$dir/$key"; else printf '%s' "$value" > "$dir/$key"; fi)"));
}

QString FakeTools::addNetworkSetup(const QByteArray& listing) {
    answer(QStringLiteral("networksetup"), {QStringLiteral("-listallnetworkservices")}, listing);
    return add(QStringLiteral("networksetup"), 0,
               QStringLiteral(R"__(st="%1/state/networksetup/$2"
[ "$1" = -listallnetworkservices ] || mkdir -p "$st"
kind() { case "$1" in *securewebproxy*) echo secureweb ;; *socksfirewallproxy*) echo socks ;; *) echo web ;; esac; }
value() { cat "$st/$1" 2>/dev/null || printf '%s' "$2"; }
case "$1" in
-setwebproxy|-setsecurewebproxy|-setsocksfirewallproxy)
  k=$(kind "$1"); printf '%s' "$3" > "$st/$k.server"; printf '%s' "$4" > "$st/$k.port"; printf Yes > "$st/$k.enabled" ;;
-setwebproxystate|-setsecurewebproxystate|-setsocksfirewallproxystate|-setautoproxystate)
  k=$(kind "$1"); [ "$1" = -setautoproxystate ] && k=auto
  if [ "$3" = on ]; then printf Yes > "$st/$k.enabled"; else printf No > "$st/$k.enabled"; fi ;;
-getwebproxy|-getsecurewebproxy|-getsocksfirewallproxy)
  k=$(kind "$1")
  printf 'Enabled: %s
Server: %s
Port: %s
Authenticated Proxy Enabled: 0
' "$(value $k.enabled No)" "$(value $k.server '')" "$(value $k.port 0)" ;;
-setproxybypassdomains)
  shift 2; : > "$st/bypass"
  [ "$1" = Empty ] || for d in "$@"; do printf '%s
' "$d" >> "$st/bypass"; done ;;
-getproxybypassdomains)
  if [ -s "$st/bypass" ]; then cat "$st/bypass"; else printf "There aren't any bypass domains set on %s.
" "$2"; fi ;;
-setautoproxyurl) printf '%s' "$3" > "$st/auto.url"; printf Yes > "$st/auto.enabled" ;;
-getautoproxyurl) printf 'URL: %s
Enabled: %s
' "$(value auto.url '(null)')" "$(value auto.enabled No)" ;;
esac)__")
                   .arg(m_dir.path()));
}

QMap<QString, QByteArray> FakeTools::state() const {
    QMap<QString, QByteArray> files;
    const QDir root(m_dir.path() + QStringLiteral("/state"));
    QDirIterator it(root.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.insert(root.relativeFilePath(path), file.readAll());
    }
    return files;
}

void FakeTools::run(const QString& tool, const QStringList& arguments) const {
    QProcess process;
    process.start(QDir(m_dir.path()).filePath(tool), arguments);
    process.waitForFinished(-1);
}

QString FakeTools::stateFile(const QString& tool, const QStringList& arguments) const {
    QString name = tool;
    for (const QString& argument : arguments)
        name += QLatin1Char('_') + argument;
    return m_dir.path() + QStringLiteral("/answers/") + name;
}

void FakeTools::answer(const QString& tool, const QStringList& arguments,
                       const QByteArray& output) {
    QFile file(stateFile(tool, arguments));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(output);
}

QList<QStringList> FakeTools::calls() const {
    QFile file(m_dir.path() + QStringLiteral("/calls.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QStringList> calls;
    QStringList current;
    QList<QByteArray> fields = file.readAll().split('\0');
    fields.removeLast(); // after the last terminator
    for (const QByteArray& field : fields) {
        if (field == kEndOfCall) {
            calls.append(current);
            current.clear();
        } else {
            current.append(QString::fromUtf8(field));
        }
    }
    return calls;
}

void FakeTools::clearCalls() {
    QFile::remove(m_dir.path() + QStringLiteral("/calls.log"));
}
