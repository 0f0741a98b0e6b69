// The root script behind the TUN authorisation, run as root with PKEXEC_UID as pkexec would
// run it, against bundles staged below the build tree, which is root's alone like an
// installation. A launcher it authorised then runs a core as nobody.
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr int waitMs = 10'000;
constexpr uint nobody = 65534;

mode_t modeOf(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

bool hasCapabilities(const QString& path) {
    return ::lgetxattr(QFile::encodeName(path).constData(), "security.capability", nullptr, 0) > 0;
}

bool copyFile(const QString& from, const QString& to, mode_t mode) {
    return QFile::copy(from, to) && ::chmod(QFile::encodeName(to).constData(), mode) == 0;
}

// <base>/vantrel-installed-XXXXXX/libexec/vantrel-vpn/{vantrel-helper,vantrel-core,
// vantrel-authorize}, every folder 0755 and root's. The core records its identity and
// capabilities into its working folder (the data folder) and waits for SIGTERM.
struct Installation {
    explicit Installation(const QString& base)
        : dir(base + QStringLiteral("/vantrel-installed-XXXXXX")) {
        libexec = dir.path() + QStringLiteral("/libexec/vantrel-vpn");
        helper = libexec + QStringLiteral("/vantrel-helper");
        core = libexec + QStringLiteral("/vantrel-core");
        script = libexec + QStringLiteral("/vantrel-authorize");
    }
    bool create() {
        if (!dir.isValid() || !QDir().mkpath(libexec))
            return false;
        for (const QString& folder : {dir.path(), dir.path() + QStringLiteral("/libexec"), libexec})
            if (::chmod(QFile::encodeName(folder).constData(), 0755) != 0)
                return false;
        return copyFile(TestSupport::stagedHelper(), helper, 0755) &&
               copyFile(TestSupport::stagedAuthorizeScript(), script, 0755) &&
               !TestSupport::writeScript(core, QStringLiteral(R"sh(#!/bin/sh
grep -E '^(Uid|Cap[A-Za-z]+):' /proc/$$/status | tr -s '\t ' '  ' > status
trap 'exit 0' TERM
while :; do sleep 0.1; done
)sh"))
                    .isEmpty() &&
               ::chmod(QFile::encodeName(core).constData(), 0755) == 0;
    }
    // Runs the script (or `program`) as root; returns its exit status.
    int authorize(const QString& program, bool throughPkexec = true) const {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("PKEXEC_UID"));
        if (throughPkexec)
            environment.insert(QStringLiteral("PKEXEC_UID"), QString::number(nobody));
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(program, {});
        if (!process.waitForFinished(waitMs) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

    QTemporaryDir dir;
    QString libexec, helper, core, script;
};

} // namespace

class AuthorizeTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(QFile::exists(TestSupport::stagedAuthorizeScript()));
        if (::geteuid() != 0)
            QSKIP("the script changes owners and file capabilities: needs root");
        if (QStandardPaths::findExecutable(QStringLiteral("setcap"),
                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                .isEmpty())
            QSKIP("setcap (libcap2-bin) is not installed");
        QFileInfo base(TestSupport::installedBase());
        if (base.ownerId() != 0 || (base.permissions() & QFile::WriteOther))
            QSKIP("the build tree is not root's alone");
    }

    void authorizes_data() {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<int>("status");
        QTest::newRow("installed bundle") << "none" << 0;
        QTest::newRow("started through a link in a user's folder") << "link to script" << 0;
        QTest::newRow("not run through pkexec") << "no PKEXEC_UID" << 2;
        QTest::newRow("a folder above writable by others") << "folder 0777" << 3;
        QTest::newRow("a folder above owned by nobody") << "folder nobody" << 3;
        QTest::newRow("core owned by nobody") << "core nobody" << 3;
        QTest::newRow("core writable by group") << "core 0775" << 3;
        QTest::newRow("a copy of the script in a user's folder") << "copied script" << 3;
        QTest::newRow("launcher is a link to a root file") << "launcher link" << 4;
        QTest::newRow("core is a link") << "core link" << 4;
        QTest::newRow("launcher is a folder") << "launcher folder" << 4;
    }
    void authorizes() {
        QFETCH(QString, setUp);
        QFETCH(int, status);
        Installation bundle(TestSupport::installedBase());
        QVERIFY(bundle.create());
        QTemporaryDir userFolder; // /tmp: writable by others
        QString program = bundle.script;
        QString target = bundle.helper; // the file that must get (or not get) capabilities
        const QByteArray top = QFile::encodeName(bundle.dir.path());
        if (setUp == QLatin1String("link to script")) {
            // A launcher planted beside the link must stay untouched.
            QVERIFY(copyFile(bundle.helper, userFolder.path() + QStringLiteral("/vantrel-helper"),
                             0755));
            program = userFolder.path() + QStringLiteral("/vantrel-authorize");
            QVERIFY(QFile::link(bundle.script, program));
        } else if (setUp == QLatin1String("folder 0777")) {
            QCOMPARE(::chmod(top.constData(), 0777), 0);
        } else if (setUp == QLatin1String("folder nobody")) {
            QCOMPARE(::chown(top.constData(), nobody, nobody), 0);
        } else if (setUp == QLatin1String("core nobody")) {
            QCOMPARE(::chown(QFile::encodeName(bundle.core).constData(), nobody, nobody), 0);
        } else if (setUp == QLatin1String("core 0775")) {
            QCOMPARE(::chmod(QFile::encodeName(bundle.core).constData(), 0775), 0);
        } else if (setUp == QLatin1String("copied script")) {
            program = userFolder.path() + QStringLiteral("/vantrel-authorize");
            QVERIFY(copyFile(bundle.script, program, 0755));
            QVERIFY(copyFile(bundle.helper, userFolder.path() + QStringLiteral("/vantrel-helper"),
                             0755));
            QVERIFY(
                copyFile(bundle.core, userFolder.path() + QStringLiteral("/vantrel-core"), 0755));
            target = userFolder.path() + QStringLiteral("/vantrel-helper");
        } else if (setUp == QLatin1String("launcher link")) {
            target = bundle.libexec + QStringLiteral("/real-helper");
            QVERIFY(QFile::rename(bundle.helper, target));
            QVERIFY(QFile::link(target, bundle.helper));
        } else if (setUp == QLatin1String("core link")) {
            const QString real = bundle.libexec + QStringLiteral("/real-core");
            QVERIFY(QFile::rename(bundle.core, real));
            QVERIFY(QFile::link(real, bundle.core));
        } else if (setUp == QLatin1String("launcher folder")) {
            QVERIFY(QFile::remove(bundle.helper));
            QVERIFY(QDir().mkdir(bundle.helper));
        }

        QCOMPARE(bundle.authorize(program, setUp != QLatin1String("no PKEXEC_UID")), status);
        if (status != 0) {
            QVERIFY(!hasCapabilities(target));
            QVERIFY(!hasCapabilities(bundle.helper));
            return;
        }
        QVERIFY(hasCapabilities(bundle.helper));
        QCOMPARE(QFileInfo(bundle.helper).ownerId(), 0u);
        QCOMPARE(QFileInfo(bundle.helper).groupId(), nobody); // nobody's primary group
        QCOMPARE(modeOf(bundle.helper), mode_t(0750));
        QCOMPARE(modeOf(bundle.core), mode_t(0755));
        if (setUp == QLatin1String("link to script"))
            QVERIFY(!hasCapabilities(userFolder.path() + QStringLiteral("/vantrel-helper")));
    }

    // The whole road: authorised by the script, the launcher runs the core as the ordinary
    // user it was started by, with the three network capabilities and nothing more.
    void authorisedLauncherRunsCoreAsTheUser() {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
        Installation bundle(TestSupport::installedBase());
        QVERIFY(bundle.create());
        QCOMPARE(bundle.authorize(bundle.script), 0);

        QTemporaryDir data;
        const QByteArray folder = QFile::encodeName(data.path());
        const QString config = data.path() + QStringLiteral("/config.yaml");
        QVERIFY(QFile(config).open(QIODevice::WriteOnly));
        QCOMPARE(::chown(folder.constData(), nobody, nobody), 0);
        QCOMPARE(::chown(QFile::encodeName(config).constData(), nobody, nobody), 0);
        QCOMPARE(::chmod(QFile::encodeName(config).constData(), 0600), 0);

        QProcess launcher;
        launcher.start(setpriv,
                       {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                        QStringLiteral("--clear-groups"), bundle.helper, data.path(), config});
        QVERIFY(launcher.waitForStarted(waitMs));
        const QString statusFile = data.path() + QStringLiteral("/status");
        const auto status = [&] {
            QFile file(statusFile);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        // CapAmb is the last line the core writes.
        QTRY_VERIFY_WITH_TIMEOUT(status().contains(QStringLiteral("CapAmb")), waitMs);
        QVERIFY2(status().contains(QStringLiteral("Uid: 65534 65534 65534 65534")),
                 qPrintable(status()));
        for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
            QVERIFY2(status().contains(QLatin1String(set) + QStringLiteral(": 0000000000003400")),
                     qPrintable(status()));
        QCOMPARE(QFileInfo(statusFile).ownerId(), nobody);
        launcher.closeWriteChannel();
        QVERIFY(launcher.waitForFinished(waitMs));
        QCOMPARE(launcher.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(AuthorizeTest)
#include "tst_authorize.moc"
