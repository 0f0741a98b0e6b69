#pragma once

#include <QList>
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

    // Every call so far: the tool's name followed by its arguments.
    QList<QStringList> calls() const;
    void clearCalls();

private:
    QString stateFile(const QString& tool, const QStringList& arguments) const;

    QTemporaryDir m_dir;
};
