#include "platform/ServiceNotifier.h"

#include <QtGlobal>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The address taken at start; a length of 0 means none.
sockaddr_un address{};
socklen_t addressLength = 0;
int watchdogMs = 0;

// Half of WATCHDOG_USEC when it is meant for this process; 0 otherwise.
int watchdogFromEnvironment() {
    const QByteArray usec = qgetenv("WATCHDOG_USEC");
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != ::getpid())
        return 0;
    bool ok = false;
    const qulonglong micros = usec.toULongLong(&ok);
    if (!ok || micros == 0)
        return 0;
    return static_cast<int>(std::clamp<qulonglong>(micros / 2000, 1, 24ULL * 3600 * 1000));
}

} // namespace

namespace ServiceNotifier {

void takeFromEnvironment() {
    addressLength = 0;
    watchdogMs = watchdogFromEnvironment();
    const char* value = std::getenv("NOTIFY_SOCKET");
    if (value == nullptr) {
        watchdogMs = 0;
        return;
    }
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

int watchdogIntervalMs() {
    return addressLength == 0 ? 0 : watchdogMs;
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
