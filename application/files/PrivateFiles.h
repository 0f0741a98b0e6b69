#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The files the application keeps for itself (the data folder, the login item): written whole,
// never through a link, and only into folders nobody else can change.

// Replaces `path` with a new owner-only (0600) file holding `bytes`: a temporary file beside it
// is written, flushed to disk and renamed over the old one. Any failure (a short write, a full
// disk, a folder that is not private) leaves the previous file exactly as it was. A link at
// `path` is replaced, its target is never written.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error = nullptr);

// Creates a folder (and parents) owner-only (0700); an existing folder of ours is tightened to
// 0700. True when a folder exists afterwards.
bool ensurePrivateFolder(const QString& path);

// True when `path` is a folder owned by this user that neither group nor others may write to:
// nobody else can then put links or files into it.
bool isPrivateFolder(const QString& path);

// The whole content of a regular file of at most maxBytes; nothing for anything else (missing,
// a folder, a FIFO or device, too large, unreadable). Never blocks on a FIFO.
std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes,
                                          QString* error = nullptr);
// The same, but a link at `path` counts as missing: for files whose content leaves the machine.
std::optional<QByteArray> readOwnRegularFile(const QString& path, qint64 maxBytes);
