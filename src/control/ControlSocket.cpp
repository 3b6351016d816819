#include "control/ControlSocket.h"

#include "base/SystemText.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

bool addressOf(const QByteArray& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    return true;
}

// Whether something accepts connections at the address now.
bool answers(const sockaddr_un& address) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

} // namespace

ControlSocket::Listening ControlSocket::listen(const QString& path, std::optional<gid_t> group) {
    Listening result;
    const QByteArray bytes = QFile::encodeName(path);
    sockaddr_un address{};
    if (!addressOf(bytes, address)) {
        result.error = path + QStringLiteral(": path too long for a socket");
        return result;
    }
    struct stat info {};
    if (::lstat(bytes.constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            result.error = path + QStringLiteral(": exists and is not a socket");
            return result;
        }
        if (answers(address)) {
            result.error = path + QStringLiteral(": another monitor answers on it");
            return result;
        }
        ::unlink(bytes.constData()); // left by a monitor that has ended
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        result.error = path + QStringLiteral(": ") + systemErrorText(errno);
        return result;
    }
    // The file is created without access for others, so no one slips in before the chmod below.
    const mode_t oldMask = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(oldMask);
    QString problem;
    if (bound != 0)
        problem = systemErrorText(bindError);
    else if (group && (::chown(bytes.constData(), static_cast<uid_t>(-1), *group) != 0 ||
                       ::chmod(bytes.constData(), 0660) != 0))
        problem = systemErrorText(errno);
    else if (::listen(fd, 64) != 0)
        problem = systemErrorText(errno);
    if (!problem.isEmpty()) {
        if (bound == 0)
            ::unlink(bytes.constData());
        ::close(fd);
        result.error = path + QStringLiteral(": ") + problem;
        return result;
    }
    result.fd = fd;
    return result;
}

std::optional<ControlSocket::Peer> ControlSocket::peerOf(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return std::nullopt;
    return Peer{credentials.uid, credentials.gid, credentials.pid};
}

bool ControlSocket::mayControl(const Peer& peer, std::optional<gid_t> group) {
    if (peer.uid == 0 || peer.uid == ::geteuid())
        return true;
    if (!group)
        return false;
    if (peer.gid == *group)
        return true;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(peer.uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), *group) != groups.end();
}

QString ControlSocket::userName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

std::optional<gid_t> ControlSocket::groupId(const QString& name) {
    bool number = false;
    const uint id = name.toUInt(&number);
    if (number)
        return static_cast<gid_t>(id);
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    const QByteArray bytes = name.toLocal8Bit();
    if (::getgrnam_r(bytes.constData(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_gid;
    return std::nullopt;
}
