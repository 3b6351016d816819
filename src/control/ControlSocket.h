#pragma once

#include <QString>
#include <optional>
#include <sys/types.h>

// The system side of the control socket: the listening Unix socket and who is at the other end.
namespace ControlSocket {

struct Listening {
    int fd = -1;   // the listening descriptor, or -1
    QString error; // why there is none
};

// A listening stream socket at path: mode 0600, or 0660 and that group's when group is given. A
// socket file that nobody answers on is left over from a monitor that ended and is replaced; one
// that answers belongs to a monitor that runs, and is left alone (an error then).
Listening listen(const QString& path, std::optional<gid_t> group);

struct Peer {
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;
};
// The credentials of a connected socket's peer (SO_PEERCRED).
std::optional<Peer> peerOf(int fd);

// Whether the peer is root, this process's user, or a member of the group (as its primary group
// or one of its user's groups).
bool mayControl(const Peer& peer, std::optional<gid_t> group);

QString userName(uid_t uid);                       // the login name, or the number
std::optional<gid_t> groupId(const QString& name); // a group's name or number

} // namespace ControlSocket
