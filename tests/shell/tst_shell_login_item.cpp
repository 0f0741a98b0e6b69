// Launch at login through the controller: the XDG autostart entry of a temporary config folder.
#include "TestBundle.h"

#include "controller/MihomoManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// What the freedesktop validator, as a distribution's review runs it, says of an entry: empty
// when it accepts it.
QString desktopEntryComplaints(const QString& validator, const QString& path) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(validator, {path});
    if (!process.waitForFinished(30000))
        return QStringLiteral("desktop-file-validate did not finish");
    const QString output = QString::fromUtf8(process.readAll()).trimmed();
    if (process.exitCode() != 0 && output.isEmpty())
        return QStringLiteral("desktop-file-validate failed");
    return output;
}

} // namespace

class ShellLoginItemTest : public QObject {
    Q_OBJECT

private slots:
    void turnsOnAndOffTwiceEach_data() {
        QTest::addColumn<QString>("installFolder");
        QTest::newRow("plain") << QStringLiteral("opt");
        QTest::newRow("blanks") << QStringLiteral("My Apps/Miravo VPN");
        QTest::newRow("ampersand") << QStringLiteral("R&D");
        QTest::newRow("percent and blanks") << QStringLiteral("100% Tools/Miravo VPN");
    }

    void turnsOnAndOffTwiceEach() {
        QFETCH(QString, installFolder);
        TestBundle bundle;
        QVERIFY(bundle.isValid());
        const QString executable = bundle.root() + '/' + installFolder + "/bin/vantrel-vpn";
        const QString autostart = bundle.root() + "/home/.config/autostart";
        const QString entry = autostart + "/com.vantrel.vpn.desktop";
        const auto environment = [&] {
            ManagerEnvironment env = bundle.environment();
            env.paths.bundle = BundleLayout::linuxLayout(executable);
            return env;
        };
        // Registrations of other programs are left alone.
        QVERIFY(QDir().mkpath(autostart));
        QFile other(autostart + "/other.desktop");
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.close();

        // desktop-file-utils comes with the test command's setup; without it only the validation is
        // left out.
        const QString validator = QStandardPaths::findExecutable("desktop-file-validate");

        MihomoManager manager(environment());
        QVERIFY(!manager.launchAtLogin());
        for (int round = 0; round < 2; ++round) {
            manager.setLaunchAtLogin(true);
            QVERIFY(manager.launchAtLogin());
            const QStringList lines = readText(entry).split('\n');
            QVERIFY(lines.contains("[Desktop Entry]"));
            QVERIFY(lines.contains("Type=Application"));
            QVERIFY(lines.contains("Name=Miravo VPN"));
            // Blanks and "&" need no escaping inside the quoted argument.
            QString expectedExec = executable;
            expectedExec.replace('%', QStringLiteral("%%")); // a literal % in Exec is doubled
            QVERIFY2(lines.contains("Exec=\"" + expectedExec + "\" --hidden"),
                     qPrintable(readText(entry)));
            if (!validator.isEmpty())
                QCOMPARE(desktopEntryComplaints(validator, entry), QString());
        }
        // Read again at start-up.
        QVERIFY(MihomoManager(environment()).launchAtLogin());

        for (int round = 0; round < 2; ++round) {
            manager.setLaunchAtLogin(false);
            QVERIFY(!manager.launchAtLogin());
            QVERIFY(!QFileInfo::exists(entry));
        }
        QVERIFY(QFileInfo::exists(autostart + "/other.desktop"));
        QVERIFY(!MihomoManager(environment()).launchAtLogin());
    }

    void readOnlyAutostartFolderLeavesItOff() {
        if (::geteuid() == 0) {
            // Folder permissions do not bind root: run this function again as nobody.
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(QStringLiteral("setpriv"),
                        {"--reuid=65534", "--regid=65534", "--clear-groups",
                         QCoreApplication::applicationFilePath(),
                         "readOnlyAutostartFolderLeavesItOff"});
            QVERIFY(child.waitForFinished(120000));
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            QCOMPARE(child.exitCode(), 0);
            return;
        }
        TestBundle bundle;
        QVERIFY(bundle.isValid());
        const QString autostart = bundle.root() + "/home/.config/autostart";
        QVERIFY(QDir().mkpath(autostart));
        QVERIFY(::chmod(QFile::encodeName(autostart).constData(), 0555) == 0);

        MihomoManager manager(bundle.environment());
        manager.setLaunchAtLogin(true);
        QVERIFY(!manager.launchAtLogin());
        QVERIFY(QDir(autostart).isEmpty());
        ::chmod(QFile::encodeName(autostart).constData(), 0755);
    }
};

QTEST_GUILESS_MAIN(ShellLoginItemTest)
#include "tst_shell_login_item.moc"
