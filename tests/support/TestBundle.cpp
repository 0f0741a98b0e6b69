#include "TestBundle.h"
#include "TestSupport.h"

#include "platform/AdminAuthorizer.h"
#include "platform/LoginItem.h"
#include "platform/SystemProxy.h"
#include "platform/linux/LinuxDesktopProxy.h"
#include "platform/linux/PkexecAuthorizer.h"
#include "platform/linux/ProcNetListeningSockets.h"
#include "platform/linux/XdgAutostartLoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

bool copyExecutable(const QString& from, const QString& to) {
    QFile::remove(to);
    return QFile::copy(from, to) &&
           QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                         QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                         QFile::ExeOther);
}

QString readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString stateKey(const QString& schema, const QString& key) {
    return schema + QLatin1Char(' ') + key;
}

} // namespace

namespace {
QString bundleTemplate(TestBundle::Placement placement) {
    const QString base = placement == TestBundle::Placement::Installed
                             ? TestSupport::installedBase()
                             : QDir::tempPath();
    return base + QStringLiteral("/vantrel-bundle-XXXXXX");
}
} // namespace

TestBundle::TestBundle(const QString& dataParent, Placement placement)
    : m_dir(bundleTemplate(placement)), m_dataParent(dataParent) {
    if (!m_dir.isValid())
        return;
    // Reachable by an unprivileged user too, as an installed bundle is.
    ::chmod(QFile::encodeName(root()).constData(), 0755);
    m_layout = BundleLayout::linuxLayout(root() + QStringLiteral("/bin/vantrel-vpn"));
    QDir().mkpath(QFileInfo(m_layout.coreBinary).absolutePath());
    QDir().mkpath(m_layout.resourcesDir);
    QDir().mkpath(toolsDir() + QStringLiteral("/gsettings-state"));
    // The data folder itself is left for the controller to create.
    const QString stagedDefaults =
        TestSupport::stageDir() + QStringLiteral("/share/vantrel-vpn/default_config.json");
    if (QFileInfo::exists(stagedDefaults))
        QFile::copy(stagedDefaults, m_layout.resource(QStringLiteral("default_config.json")));

    bool ok = copyExecutable(TestSupport::stagedCore(), m_layout.coreBinary);
    ok = copyExecutable(TestSupport::stagedHelper(), m_layout.helperBinary) && ok;
    ok = copyExecutable(TestSupport::stagedAuthorizeScript(),
                        QFileInfo(m_layout.helperBinary).absolutePath() +
                            QStringLiteral("/vantrel-authorize")) &&
         ok;

    TestSupport::writeScript(toolsDir() + QStringLiteral("/gsettings"), QStringLiteral(R"(#!/bin/sh
printf '%s\n' "$*" >> '%1/gsettings.log'
state='%1/gsettings-state'
case "$1" in
set) printf '%s' "$4" > "$state/$2 $3" ;;
get) [ -f "$state/$2 $3" ] && { cat "$state/$2 $3"; echo; } ;;
esac
exit 0
)")
                                                                            .arg(toolsDir()));
    setPkexecExitCode(126);
    // GNOME's defaults: gsettings always has a value to print.
    const QString proxy = QStringLiteral("org.gnome.system.proxy");
    setGsetting(proxy, QStringLiteral("mode"), QStringLiteral("'none'"));
    setGsetting(proxy, QStringLiteral("autoconfig-url"), QStringLiteral("''"));
    setGsetting(proxy, QStringLiteral("ignore-hosts"),
                QStringLiteral("['localhost', '127.0.0.0/8', '::1']"));
    setGsetting(proxy, QStringLiteral("use-same-proxy"), QStringLiteral("true"));
    for (const char* kind : {".http", ".https", ".socks"}) {
        setGsetting(proxy + QLatin1String(kind), QStringLiteral("host"), QStringLiteral("''"));
        setGsetting(proxy + QLatin1String(kind), QStringLiteral("port"), QStringLiteral("0"));
    }

    m_mixedPort = TestSupport::freeLocalPort();
    m_apiPort = TestSupport::freeLocalPort();
    while (m_apiPort == m_mixedPort)
        m_apiPort = TestSupport::freeLocalPort();
    m_valid = ok && m_mixedPort && m_apiPort;
}

QString TestBundle::dataDir() const {
    return root() + QStringLiteral("/data/VantrelVPN");
}
QString TestBundle::toolsDir() const {
    return root() + QStringLiteral("/tools");
}
QString TestBundle::secret() {
    return QStringLiteral("0123456789abcdef0123456789abcdef");
}

ManagerEnvironment TestBundle::environment() const {
    ManagerEnvironment environment;
    environment.paths.dataDir = dataDir();
    environment.paths.homeDir = root() + QStringLiteral("/home");
    environment.paths.bundle = m_layout;
    environment.platform.systemProxy = std::make_unique<LinuxDesktopProxy>(QStringList{toolsDir()});
    environment.platform.adminAuthorizer =
        std::make_unique<PkexecAuthorizer>(toolsDir() + QStringLiteral("/pkexec"));
    environment.platform.loginItem =
        std::make_unique<XdgAutostartLoginItem>(root() + QStringLiteral("/home/.config"));
    environment.platform.interfaces = [] { return QList<InterfaceAddress>{}; };
    environment.platform.lanInterfacePrefixes = {QStringLiteral("eth")};
    environment.platform.deviceName = [] { return QStringLiteral("Test Machine"); };
    environment.platform.pkillPath = QStringLiteral("/usr/bin/pkill");
    environment.platform.listeningSockets = std::make_unique<ProcNetListeningSockets>();
    environment.mixedPort = m_mixedPort;
    environment.apiPort = m_apiPort;
    environment.controllerSecret = secret();
    environment.trafficRetryPauseMs = trafficRetryPauseMs;
    return environment;
}

ManagerEnvironment TestBundle::shortReadinessEnvironment() const {
    ManagerEnvironment environment = this->environment();
    environment.readinessPauseMs = shortReadinessPauseMs;
    return environment;
}

void TestBundle::useScriptCore(const QString& body) {
    QFile::remove(m_layout.coreBinary);
    TestSupport::writeScript(m_layout.coreBinary, QStringLiteral("#!/bin/sh\n") + body + '\n');
}

bool TestBundle::setHelperAuthorised(bool authorised) {
    const QByteArray path = QFile::encodeName(m_layout.helperBinary);
    if (!authorised) {
        ::removexattr(path.constData(), "security.capability");
        return ::chmod(path.constData(), 0755) == 0;
    }
    return ::chown(path.constData(), 0, getgid()) == 0 && ::chmod(path.constData(), 0750) == 0 &&
           TestSupport::setTunCapabilities(m_layout.helperBinary);
}

void TestBundle::setPkexecExitCode(int code) {
    // Keeps each call's arguments exactly, one file each in calls/<n>/<i>; exit 0 runs them.
    const QString run = code == 0 ? QStringLiteral("PKEXEC_UID=$(id -u) exec \"$@\"")
                                  : QStringLiteral("exit %1").arg(code);
    TestSupport::writeScript(toolsDir() + QStringLiteral("/pkexec"), QStringLiteral(R"sh(#!/bin/sh
calls='%1/pkexec-calls'
mkdir -p "$calls"
call="$calls/$(ls "$calls" | wc -l)"
mkdir "$call"
i=0
for a in "$@"; do printf '%s' "$a" > "$call/$i"; i=$((i + 1)); done
%2
)sh")
                                                                         .arg(toolsDir(), run));
}

QList<QStringList> TestBundle::pkexecCalls() const {
    QList<QStringList> calls;
    const QDir folder(toolsDir() + QStringLiteral("/pkexec-calls"));
    for (int n = 0; folder.exists(QString::number(n)); ++n) {
        QStringList arguments;
        const QString call = folder.filePath(QString::number(n));
        for (int i = 0; QFileInfo::exists(call + QStringLiteral("/%1").arg(i)); ++i)
            arguments.append(readText(call + QStringLiteral("/%1").arg(i)));
        calls.append(arguments);
    }
    return calls;
}

QString TestBundle::gsetting(const QString& schema, const QString& key) const {
    return readText(toolsDir() + QStringLiteral("/gsettings-state/") + stateKey(schema, key));
}

void TestBundle::setGsetting(const QString& schema, const QString& key, const QString& value) {
    QFile file(toolsDir() + QStringLiteral("/gsettings-state/") + stateKey(schema, key));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(value.toUtf8());
}

bool TestBundle::proxiesPointHere() const {
    const QString proxy = QStringLiteral("org.gnome.system.proxy");
    const QString http = proxy + QStringLiteral(".http");
    return gsetting(proxy, QStringLiteral("mode")) == QLatin1String("'manual'") &&
           gsetting(http, QStringLiteral("host")) == QLatin1String("'127.0.0.1'") &&
           gsetting(http, QStringLiteral("port")) == QString::number(m_mixedPort);
}

QStringList TestBundle::gsettingsCalls() const {
    return readText(toolsDir() + QStringLiteral("/gsettings.log")).split('\n', Qt::SkipEmptyParts);
}

QList<qint64> TestBundle::corePids() const {
    const QByteArray needle =
        QByteArray("\0-d\0", 4) + QFile::encodeName(dataDir()) + QByteArray("\0-f\0", 4);
    QHash<qint64, qint64> parents; // matching pid -> its parent
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!cmdline.open(QIODevice::ReadOnly) || !cmdline.readAll().contains(needle))
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        // "pid (name) state ppid ...": the parent follows the name's closing parenthesis.
        const QByteArray fields = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        const QList<QByteArray> rest = fields.mid(fields.lastIndexOf(')') + 2).split(' ');
        parents.insert(pid, rest.size() > 1 ? rest.at(1).toLongLong() : 0);
    }
    // A script core's short-lived forks carry its command line too; count the topmost only.
    QList<qint64> pids;
    for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
        if (!parents.contains(it.value()))
            pids.append(it.key());
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}
