#pragma once

#include "controller/ManagerEnvironment.h"

#include <QStringList>
#include <QTemporaryDir>

// A throw-away installation for one test: a bundle (the staged development core as
// vantrel-core, a copy of the launcher, the default settings), an empty data folder, fake
// desktop tools (gsettings that keeps its values, pkexec), two free ports and a fixed secret.
// environment() hands the controller all of it; nothing reaches the real home folder or the
// desktop's real proxy settings.
class TestBundle {
public:
    // `dataParent`: the folder (below the temporary root) that holds the data folder
    // "VantrelVPN"; tests of path handling give it awkward characters.
    // `Installed` places it below TestSupport::installedBase(), so that the authorisation
    // script takes it for an installation; otherwise it lies in the temporary folder, as a
    // development build would.
    enum class Placement { Temporary, Installed };
    explicit TestBundle(const QString& dataParent = QStringLiteral("data"),
                        Placement placement = Placement::Temporary);

    bool isValid() const { return m_valid; }
    QString root() const { return m_dir.path(); }
    QString dataDir() const;
    QString toolsDir() const;
    const BundleLayout& layout() const { return m_layout; }
    qint64 mixedPort() const { return m_mixedPort; }
    qint64 apiPort() const { return m_apiPort; }
    static QString secret();
    // The traffic stream's retry pause environment() injects, shorter than the application's.
    static constexpr int trafficRetryPauseMs = 250;
    // The readiness pause of shortReadinessEnvironment().
    static constexpr int shortReadinessPauseMs = 40;

    // A fresh environment over this bundle (same folders, ports and secret every time). The
    // readiness pause stays the application's, so that a core slowed by a busy machine still
    // counts as started.
    ManagerEnvironment environment() const;
    // The same with a short readiness pause, for tests that sit through a readiness wait that
    // never succeeds.
    ManagerEnvironment shortReadinessEnvironment() const;

    // Replaces vantrel-core by a shell script with this body (after "#!/bin/sh").
    void useScriptCore(const QString& body);
    // As the authorisation script leaves it (root:<our group>, mode 0750, the three network
    // file capabilities) or a plain 0755 copy; needs root for true.
    bool setHelperAuthorised(bool authorised);
    // The fake pkexec exits with this code; 0 runs the requested root command for real, as
    // a real pkexec would, with PKEXEC_UID set to ours.
    void setPkexecExitCode(int code);
    QList<QStringList> pkexecCalls() const;

    // The fake gsettings' store, holding GNOME's defaults at first; "" for a key never set.
    QString gsetting(const QString& schema, const QString& key) const;
    void setGsetting(const QString& schema, const QString& key, const QString& value);
    // Whether the desktop proxy is on and points at 127.0.0.1:mixedPort.
    bool proxiesPointHere() const;
    QStringList gsettingsCalls() const; // one line per call, arguments joined by spaces

    // Processes whose command line runs a core on this data folder ("-d <data> -f").
    QList<qint64> corePids() const;

private:
    QTemporaryDir m_dir;
    BundleLayout m_layout;
    qint64 m_mixedPort = 0;
    qint64 m_apiPort = 0;
    QString m_dataParent;
    bool m_valid = false;
};
