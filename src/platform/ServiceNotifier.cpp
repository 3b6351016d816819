#include "ServiceNotifier.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The address taken at start; a length of 0 means none.
sockaddr_un address{};
socklen_t addressLength = 0;

} // namespace

namespace ServiceNotifier {

void takeFromEnvironment() {
    addressLength = 0;
    const char* value = std::getenv("NOTIFY_SOCKET");
    if (value == nullptr)
        return;
    const size_t length = std::strlen(value);
    // A path or an abstract name; other address kinds (vsock) are not ours to speak.
    if (length >= 2 && length < sizeof address.sun_path && (value[0] == '/' || value[0] == '@')) {
        address = sockaddr_un{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, value, length);
        if (value[0] == '@')
            address.sun_path[0] = '\0'; // abstract: the name is exactly the bytes that follow
        addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                               (value[0] == '/' ? 1 : 0));
    }
    ::unsetenv("NOTIFY_SOCKET");
}

void notify(const QByteArray& state) {
    if (addressLength == 0)
        return;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    ::sendto(fd, state.constData(), static_cast<size_t>(state.size()), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&address), addressLength);
    ::close(fd);
}

} // namespace ServiceNotifier
