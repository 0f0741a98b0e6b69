#include "platform/LoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(contentFor(executablePath).toUtf8());
    file.commit();
}
