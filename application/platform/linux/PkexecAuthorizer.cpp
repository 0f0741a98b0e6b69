#include "platform/linux/PkexecAuthorizer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <sys/stat.h>
#ifdef __linux__
#include <endian.h>
#include <linux/capability.h>
#include <sys/xattr.h>
#endif

namespace {

// The script's status for a bundle that is not installed (a development build).
constexpr int kNotInstalledStatus = 3;

#ifdef __linux__
constexpr std::uint64_t kTunCapabilities = (std::uint64_t(1) << CAP_NET_ADMIN) |
                                           (std::uint64_t(1) << CAP_NET_RAW) |
                                           (std::uint64_t(1) << CAP_NET_BIND_SERVICE);

bool lstatPath(const QString& path, struct stat& info) {
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

bool notWritableByOthers(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A regular file (not a link) owned by root and not writable by group or others.
bool isRootOnlyFile(const QString& path) {
    struct stat info {};
    return lstatPath(path, info) && S_ISREG(info.st_mode) && notWritableByOthers(info);
}

std::uint64_t capabilityWord(const vfs_ns_cap_data& data, bool permitted) {
    const auto word = [&](int i) {
        return std::uint64_t(
            le32toh(permitted ? data.data[i].permitted : data.data[i].inheritable));
    };
    return word(0) | (word(1) << 32);
}
#endif

} // namespace

PkexecAuthorizer::PkexecAuthorizer(QString pkexecPath) : m_pkexec(std::move(pkexecPath)) {}

QString PkexecAuthorizer::scriptPath(const BundleLayout& bundle) {
    return QFileInfo(bundle.helperBinary).absolutePath() + QStringLiteral("/vantrel-authorize");
}

bool PkexecAuthorizer::launcherHasTunCapabilities(const QString& helperPath) {
#ifdef __linux__
    const QByteArray path = QFile::encodeName(helperPath);
    struct stat info {};
    if (!lstatPath(helperPath, info) || !S_ISREG(info.st_mode) || !notWritableByOthers(info) ||
        (info.st_mode & (S_ISUID | S_ISGID)) != 0)
        return false;
    vfs_ns_cap_data data{};
    const ssize_t size = ::lgetxattr(path.constData(), "security.capability", &data, sizeof data);
    const std::uint32_t revision = le32toh(data.magic_etc) & VFS_CAP_REVISION_MASK;
    const bool wellFormed = (revision == VFS_CAP_REVISION_2 && size == XATTR_CAPS_SZ_2) ||
                            (revision == VFS_CAP_REVISION_3 && size == XATTR_CAPS_SZ_3);
    return wellFormed && capabilityWord(data, true) == kTunCapabilities &&
           capabilityWord(data, false) == 0;
#else
    (void)helperPath;
    return false;
#endif
}

bool PkexecAuthorizer::isInstalledBundle(const BundleLayout& bundle) {
    if (!isRootOnlyFile(bundle.coreBinary) || !isRootOnlyFile(scriptPath(bundle)) ||
        !isRootOnlyFile(bundle.helperBinary))
        return false;
    struct stat info {};
    QString folder = QFileInfo(bundle.helperBinary).absolutePath();
    for (;;) {
        if (!lstatPath(folder, info) || !S_ISDIR(info.st_mode) || !notWritableByOthers(info))
            return false;
        if (folder == QDir::rootPath())
            return true;
        folder = QFileInfo(folder).absolutePath();
    }
}

bool PkexecAuthorizer::launcherReady(const BundleLayout& bundle) const {
    return launcherHasTunCapabilities(bundle.helperBinary) && isRootOnlyFile(bundle.coreBinary);
}

std::variant<AuthorizationCommand, TunAuthorization>
PkexecAuthorizer::command(const BundleLayout& bundle) const {
    // No password prompt that could not help: the script refuses such a bundle anyway.
    if (!isInstalledBundle(bundle))
        return TunAuthorization::DevelopmentBuild;
    const QFileInfo pkexec(m_pkexec);
    if (!pkexec.isFile() || !pkexec.isExecutable())
        return TunAuthorization::ToolMissing;
    return AuthorizationCommand{m_pkexec, {scriptPath(bundle)}};
}

TunAuthorization PkexecAuthorizer::outcome(std::optional<int> exitStatus) const {
    // pkexec exits 126 when the dialog is dismissed and 127 when authorisation fails; the
    // script's own failures are non-zero too.
    if (exitStatus == 0)
        return TunAuthorization::Granted;
    if (exitStatus == kNotInstalledStatus)
        return TunAuthorization::DevelopmentBuild;
    return TunAuthorization::Refused;
}
