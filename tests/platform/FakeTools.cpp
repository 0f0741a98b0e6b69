#include "FakeTools.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>

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
