#pragma once

#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelReports/ReportDocument.hpp"

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Descriptor-relative file work for the report store: nothing here follows a
// symbolic link, and nothing takes a path that the kernel would resolve from the
// root again after it was checked.
namespace snagreel::reports::linuxfs {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

enum class EntryType { regular, directory, symbolicLink, other };

struct EntryInfo {
    EntryType type = EntryType::other;
    nlink_t linkCount = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::optional<ReportDate> creationDate; // birth time, where the file system keeps one
    std::optional<ReportDate> modificationDate;
};

// lstat of `name` inside `dirfd` (statx for the birth time).
Result<EntryInfo> statAt(int dirfd, const std::string& name);
// fstat of an open descriptor.
Result<EntryInfo> statFd(int fd);
// lstat of an absolute or relative path.
Result<EntryInfo> statPath(const std::filesystem::path& path);

// openat(O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC): a link in `name`'s place fails.
Result<UniqueFd> openDirectoryAt(int dirfd, const std::string& name);
// openat(O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); O_NONBLOCK so that a FIFO
// put in a file's place cannot hang the caller before its type is checked.
Result<UniqueFd> openFileAt(int dirfd, const std::string& name);
// Opens an absolute path that must contain no symbolic link at all, walking from
// "/" one piece at a time (openat2 with RESOLVE_NO_SYMLINKS where the kernel has it).
Result<UniqueFd> openPathWithoutLinks(const std::filesystem::path& absolute);

// Reads the whole file, refusing with EFBIG one that holds more than `limit` bytes:
// before reading when its size says so, while reading when it grows.
Result<std::string> readAll(int fd, std::size_t limit);
// The names in a directory, without "." and "..".
Result<std::vector<std::string>> listNames(int dirfd);

// Writes a new file `name` in `dirfd` (O_CREAT | O_EXCL | O_NOFOLLOW), sets `mode`
// on the descriptor and flushes it to disk. Fails when the name exists.
Result<void> writeNewFile(int dirfd, const std::string& name, std::string_view bytes, mode_t mode);
// Writes a hidden temporary file beside `name`, flushes it, and renames it over
// `name`, so that readers see the old bytes or all of the new ones.
Result<void> replaceFile(int dirfd, const std::string& name, std::string_view bytes, mode_t mode);
// Makes `to` a second name of `from` (no link following); an existing `to` fails
// with EEXIST, so nothing is ever overwritten.
Result<void> linkNew(int dirfd, const std::string& from, const std::string& to);
// Creates directory `name` with `mode` exactly (not narrowed by the umask).
// Returns false when it already existed.
Result<bool> makeDirectoryAt(int dirfd, const std::string& name, mode_t mode);
void removeAt(int dirfd, const std::string& name);
void syncDirectory(int dirfd);

// A new random version 4 UUID in canonical upper-case form.
std::string newUpperCaseUUID();

} // namespace snagreel::reports::linuxfs
