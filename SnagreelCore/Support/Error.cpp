#include "SnagreelCore/Support/Error.hpp"

#include <cstring>

namespace snagreel {

Error::Error(PlatformError platform)
    : payload_(std::make_shared<PlatformHolder>(std::move(platform))) {}

Error Error::cancelled() {
    return Error(PlatformError{kCancellationDomain, 1, "The operation was cancelled."});
}

Error Error::posix(int errnoValue, std::string message) {
    if (message.empty()) {
        message = std::strerror(errnoValue);
        if (!message.empty() && message.back() != '.') {
            message += '.';
        }
    }
    return Error(PlatformError{kPosixDomain, errnoValue, std::move(message)});
}

} // namespace snagreel
