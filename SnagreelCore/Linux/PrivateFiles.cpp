#include "SnagreelCore/Linux/PrivateFiles.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace snagreel {

namespace {

Error folderError(int code, const std::filesystem::path& directory) {
    if (code == ENOSPC || code == EDQUOT) {
        return Error::posix(code, "There is not enough free disk space to save the clip.");
    }
    return Error::posix(code, "Cannot create the capture folder " + directory.string() + ": " +
                                  std::strerror(code) + ".");
}

void syncDirectory(const std::filesystem::path& directory) {
    const std::string name = directory.empty() ? std::string(".") : directory.string();
    const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

Result<void> writeAll(int fd, std::string_view bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Unexpected{Error::posix(errno)};
        }
        written += static_cast<std::size_t>(n);
    }
    return {};
}

Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                 unsigned mode) {
    std::string pattern = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX"));
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return Unexpected{Error::posix(errno)};
    }
    auto failed = [&](int code) -> Result<void> {
        ::close(fd);
        ::unlink(name.data());
        if (code == ENOSPC || code == EDQUOT) {
            return Unexpected{
                Error::posix(code, "There is not enough free disk space to save the clip.")};
        }
        return Unexpected{Error::posix(code)};
    };
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        return failed(errno);
    }
    if (auto wrote = writeAll(fd, bytes); !wrote) {
        return failed(static_cast<int>(wrote.error().code()));
    }
    if (::fsync(fd) != 0) {
        return failed(errno);
    }
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(name.data());
        return Unexpected{Error::posix(code)};
    }
    if (::rename(name.data(), path.c_str()) != 0) {
        const int code = errno;
        ::unlink(name.data());
        return Unexpected{Error::posix(code)};
    }
    syncDirectory(path.parent_path());
    return {};
}

Result<void> createPrivateDirectory(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path p = directory; !p.empty(); p = p.parent_path()) {
        struct stat info {};
        if (::stat(p.c_str(), &info) == 0) {
            if (p == directory) {
                return Unexpected{folderError(EEXIST, directory)};
            }
            if (!S_ISDIR(info.st_mode)) {
                return Unexpected{folderError(ENOTDIR, directory)};
            }
            break;
        }
        if (errno != ENOENT) {
            return Unexpected{folderError(errno, directory)};
        }
        missing.push_back(p);
        if (p == p.parent_path()) {
            break;
        }
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0) {
            // Someone else may have made a parent meanwhile; the leaf must be new.
            if (errno == EEXIST && *it != directory) {
                continue;
            }
            return Unexpected{folderError(errno, directory)};
        }
        // The umask may only take bits away, but say exactly what is meant.
        ::chmod(it->c_str(), 0700);
    }
    syncDirectory(directory.parent_path());
    return {};
}

Result<void> setFileMode(const std::filesystem::path& path, unsigned mode) {
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
        return Unexpected{Error::posix(errno)};
    }
    return {};
}

void removeDirectory(const std::filesystem::path& directory) {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

} // namespace snagreel
