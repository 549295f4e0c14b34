#include "SnagreelReports/Linux/CaptureFiles.hpp"

#include "SnagreelCore/Linux/PrivateFiles.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>

namespace snagreel::reports::linuxfs {

namespace {

Error lastError() {
    return Error::posix(errno);
}

ReportDate toDate(const struct statx_timestamp& stamp) {
    // Anyone can stamp a file with a far year; clamp instead of overflowing the ticks.
    using Ticks = ReportDate::duration;
    constexpr auto lowest = std::chrono::duration_cast<std::chrono::seconds>(Ticks::min()).count();
    constexpr auto highest = std::chrono::duration_cast<std::chrono::seconds>(Ticks::max()).count();
    if (stamp.tv_sec <= lowest) {
        return ReportDate::min();
    }
    if (stamp.tv_sec >= highest) {
        return ReportDate::max();
    }
    return ReportDate(std::chrono::duration_cast<Ticks>(std::chrono::seconds(stamp.tv_sec) +
                                                        std::chrono::nanoseconds(stamp.tv_nsec)));
}

EntryType typeOf(mode_t mode) {
    if (S_ISREG(mode)) {
        return EntryType::regular;
    }
    if (S_ISDIR(mode)) {
        return EntryType::directory;
    }
    if (S_ISLNK(mode)) {
        return EntryType::symbolicLink;
    }
    return EntryType::other;
}

Result<EntryInfo> statxAt(int dirfd, const char* name, int flags) {
    struct statx info {};
    if (::statx(dirfd, name, flags | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &info) !=
        0) {
        return Unexpected{lastError()};
    }
    EntryInfo entry;
    if ((info.stx_mask & STATX_TYPE) == 0) {
        // No type reported: nothing may treat it as a file or a folder.
        entry.type = EntryType::other;
    } else {
        entry.type = typeOf(info.stx_mode);
    }
    entry.linkCount = info.stx_nlink;
    entry.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    entry.inode = info.stx_ino;
    if ((info.stx_mask & STATX_BTIME) != 0) {
        entry.creationDate = toDate(info.stx_btime);
    }
    if ((info.stx_mask & STATX_MTIME) != 0) {
        entry.modificationDate = toDate(info.stx_mtime);
    }
    return entry;
}

std::string randomHex(std::size_t bytes) {
    static thread_local std::random_device device;
    std::string text;
    for (std::size_t i = 0; i < bytes; ++i) {
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", static_cast<unsigned>(device() & 0xffu));
        text += pair.data();
    }
    return text;
}

Result<UniqueFd> walkWithoutLinks(const std::filesystem::path& absolute) {
    UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current.valid()) {
        return Unexpected{lastError()};
    }
    for (const auto& piece : absolute.relative_path()) {
        const std::string name = piece.string();
        if (name.empty()) {
            continue;
        }
        auto next = openDirectoryAt(current.get(), name);
        if (!next) {
            return Unexpected{std::move(next).error()};
        }
        current = std::move(*next);
    }
    return current;
}

} // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

Result<EntryInfo> statAt(int dirfd, const std::string& name) {
    return statxAt(dirfd, name.c_str(), AT_SYMLINK_NOFOLLOW);
}

Result<EntryInfo> statFd(int fd) {
    return statxAt(fd, "", AT_EMPTY_PATH);
}

Result<EntryInfo> statPath(const std::filesystem::path& path) {
    return statxAt(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW);
}

Result<UniqueFd> openDirectoryAt(int dirfd, const std::string& name) {
    const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return Unexpected{lastError()};
    }
    return UniqueFd(fd);
}

Result<UniqueFd> openFileAt(int dirfd, const std::string& name) {
    const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Unexpected{lastError()};
    }
    return UniqueFd(fd);
}

Result<UniqueFd> openPathWithoutLinks(const std::filesystem::path& absolute) {
    struct open_how how {};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, absolute.c_str(), &how, sizeof how);
    if (fd >= 0) {
        return UniqueFd(static_cast<int>(fd));
    }
    // Older kernels (and some seccomp filters) lack openat2: walk piece by piece.
    if (errno == ENOSYS || errno == EPERM || errno == EINVAL) {
        return walkWithoutLinks(absolute);
    }
    return Unexpected{lastError()};
}

Result<std::string> readAll(int fd, std::size_t limit) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return Unexpected{lastError()};
    }
    if (info.st_size > 0 && static_cast<std::uint64_t>(info.st_size) > limit) {
        return Unexpected{Error::posix(EFBIG)};
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)));
    std::array<char, 65536> buffer{};
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Unexpected{lastError()};
        }
        if (n == 0) {
            return bytes;
        }
        if (static_cast<std::size_t>(n) > limit - bytes.size()) {
            return Unexpected{Error::posix(EFBIG)};
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

Result<std::vector<std::string>> listNames(int dirfd) {
    // A fresh descriptor: readdir moves the offset, and the caller's stays put.
    const int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Unexpected{lastError()};
    }
    DIR* directory = ::fdopendir(fd);
    if (directory == nullptr) {
        const Error error = lastError();
        ::close(fd);
        return Unexpected{error};
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* item = ::readdir(directory);
        if (item == nullptr) {
            if (errno != 0) {
                const Error error = lastError();
                ::closedir(directory);
                return Unexpected{error};
            }
            break;
        }
        const std::string_view name(item->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(directory);
    return names;
}

Result<void> writeNewFile(int dirfd, const std::string& name, std::string_view bytes, mode_t mode) {
    UniqueFd fd(
        ::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) {
        return Unexpected{lastError()};
    }
    auto failed = [&](Error error) -> Result<void> {
        fd = UniqueFd();
        ::unlinkat(dirfd, name.c_str(), 0);
        return Unexpected{std::move(error)};
    };
    // The umask may have narrowed the creation mode; say exactly what is meant.
    if (::fchmod(fd.get(), mode) != 0) {
        return failed(lastError());
    }
    if (auto wrote = snagreel::writeAll(fd.get(), bytes); !wrote) {
        return failed(std::move(wrote).error());
    }
    if (::fsync(fd.get()) != 0) {
        return failed(lastError());
    }
    if (::close(fd.release()) != 0) {
        const Error error = lastError();
        ::unlinkat(dirfd, name.c_str(), 0);
        return Unexpected{error};
    }
    return {};
}

Result<void> replaceFile(int dirfd, const std::string& name, std::string_view bytes, mode_t mode) {
    // Short and hidden, whatever the length of `name`, so it fits NAME_MAX.
    const std::string staging = "." + randomHex(12) + ".tmp";
    if (auto wrote = writeNewFile(dirfd, staging, bytes, mode); !wrote) {
        return wrote;
    }
    if (::renameat(dirfd, staging.c_str(), dirfd, name.c_str()) != 0) {
        const Error error = lastError();
        ::unlinkat(dirfd, staging.c_str(), 0);
        return Unexpected{error};
    }
    syncDirectory(dirfd);
    return {};
}

Result<void> linkNew(int dirfd, const std::string& from, const std::string& to) {
    if (::linkat(dirfd, from.c_str(), dirfd, to.c_str(), 0) != 0) {
        return Unexpected{lastError()};
    }
    syncDirectory(dirfd);
    return {};
}

Result<bool> makeDirectoryAt(int dirfd, const std::string& name, mode_t mode) {
    if (::mkdirat(dirfd, name.c_str(), mode) != 0) {
        if (errno == EEXIST) {
            return false;
        }
        return Unexpected{lastError()};
    }
    auto opened = openDirectoryAt(dirfd, name);
    if (!opened) {
        return Unexpected{std::move(opened).error()};
    }
    if (::fchmod(opened->get(), mode) != 0) {
        return Unexpected{lastError()};
    }
    syncDirectory(dirfd);
    return true;
}

void removeAt(int dirfd, const std::string& name) {
    ::unlinkat(dirfd, name.c_str(), 0);
}

void syncDirectory(int dirfd) {
    ::fsync(dirfd);
}

std::string newUpperCaseUUID() {
    static thread_local std::random_device device;
    std::array<unsigned, 16> bytes{};
    for (auto& byte : bytes) {
        byte = device() & 0xffu;
    }
    bytes[6] = (bytes[6] & 0x0fu) | 0x40u;
    bytes[8] = (bytes[8] & 0x3fu) | 0x80u;
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02X", bytes[i]);
        text += pair.data();
    }
    return text;
}

} // namespace snagreel::reports::linuxfs
