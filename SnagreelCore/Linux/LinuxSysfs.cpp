#include "SnagreelCore/Linux/LinuxSysfs.hpp"

#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace snagreel {

std::optional<std::string> readBoundedFile(const std::filesystem::path& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text(limit, '\0');
    std::size_t filled = 0;
    while (filled < limit) {
        const ssize_t got = ::read(fd, text.data() + filled, limit - filled);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    text.resize(filled);
    return text;
}

std::optional<std::string> readSysfsText(const std::filesystem::path& path) {
    auto text = readBoundedFile(path);
    if (!text) {
        return std::nullopt;
    }
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ' || text->back() == '\t' ||
                              text->back() == '\r' || text->back() == '\0')) {
        text->pop_back();
    }
    return text;
}

std::optional<long long> readSysfsInteger(const std::filesystem::path& path) {
    const auto text = readSysfsText(path);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    long long value = 0;
    const char* first = text->data();
    const char* last = first + text->size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc{} || end != last) {
        return std::nullopt;
    }
    return value;
}

} // namespace snagreel
