#pragma once

#include <cstdint>
#include <string>

struct sd_bus;

namespace snagreel::logind {

inline constexpr const char* kService = "org.freedesktop.login1";
inline constexpr const char* kManagerPath = "/org/freedesktop/login1";
inline constexpr const char* kManagerInterface = "org.freedesktop.login1.Manager";
inline constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";

// Short enough that a silent logind never stalls the main thread noticeably.
inline constexpr std::uint64_t kCallTimeoutMicroseconds = 500000;

// Opens a client connection to `address`, or to the system bus when it is empty,
// and waits (bounded) until it is authenticated. Null when there is no bus.
sd_bus* openBus(const std::string& address);

} // namespace snagreel::logind
