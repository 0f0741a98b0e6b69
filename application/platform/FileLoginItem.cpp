#include "platform/LoginItem.h"

#include "files/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileLoginItem::FileLoginItem(QString filePath) : m_filePath(std::move(filePath)) {}

bool FileLoginItem::isRegistered() const {
    return QFileInfo::exists(m_filePath);
}

void FileLoginItem::setRegistered(bool enabled, const QString& executablePath) {
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    if (!enabled) {
        QFile::moveToTrash(m_filePath);
        return;
    }
    // Best-effort, but a failed write keeps the previous entry.
    writeFileAtomically(m_filePath, contentFor(executablePath).toUtf8());
}
