#include "support/DisplaySocket.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace snagreel::testing {

int listenOnDisplaySocket(int number, bool* inUse) {
    *inUse = false;
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, path.data(), path.size()); // abstract name
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return -1;
    }
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(listener);
        *inUse = true;
        return -1;
    }
    // Connections wait in the backlog until the test accepts them, if ever.
    if (::listen(listener, 4) != 0) {
        ::close(listener);
        return -1;
    }
    return listener;
}

} // namespace snagreel::testing
