#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace snagreel {

using UuidBytes = std::array<std::uint8_t, 16>;

// A random (version 4, variant 1) UUID.
UuidBytes randomUuid();

// The canonical 8-4-4-4-12 hexadecimal form. Capture identifiers are lower-case;
// the controller's generations are logged upper-case.
enum class UuidCase { lower, upper };
std::string uuidString(const UuidBytes& bytes, UuidCase letters = UuidCase::lower);

} // namespace snagreel
