#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Fake command-line tools in a temporary folder. Each call appends the tool's name and its
// arguments and an end mark to a shared log, then prints the answer stored for
// exactly these arguments, if any, and exits with the tool's exit code.
class FakeTools {
public:
    FakeTools();

    QString folder() const { return m_dir.path(); }
    // Creates the tool; `tail` is shell text run after logging and answering.
    QString add(const QString& name, int exitCode = 0, const QString& tail = {});
    void answer(const QString& tool, const QStringList& arguments, const QByteArray& output);

    // Tools that keep what they are told in files below state/, as the desktop's do:
    // gsettings, whose get prints what set stored (nothing for a key never set);
    QString addGsettings();
    // kreadconfig<version> and kwriteconfig<version> over one store, with --default and --delete;
    void addKdeConfig(const QString& version);
    // networksetup with per-service proxies, bypass domains and automatic proxy, and `listing`
    // as its list of services.
    QString addNetworkSetup(const QByteArray& listing);
    // Every state file with its content, by path below state/: a whole store to compare.
    QMap<QString, QByteArray> state() const;
    // Runs a tool as the user would, waiting for it (logged like every call).
    void run(const QString& tool, const QStringList& arguments) const;

    // Every call so far: the tool's name followed by its arguments.
    QList<QStringList> calls() const;
    void clearCalls();

private:
    QString stateFile(const QString& tool, const QStringList& arguments) const;

    QTemporaryDir m_dir;
};
