#include "SnagreelApp/Sharing/SharePackage.hpp"

#include "SnagreelCore/Linux/PrivateFiles.hpp"
#include "SnagreelReports/Linux/CaptureFiles.hpp"
#include "SnagreelReports/ReportPresentation.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <system_error>

namespace snagreel::app::sharepackage {

namespace fs = std::filesystem;
using reports::linuxfs::EntryType;
using reports::linuxfs::UniqueFd;

namespace {

struct ArchiveCloser {
    void operator()(archive* writer) const { archive_write_free(writer); }
};
struct EntryFreer {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

Error archiveError(archive* writer) {
    const char* text = archive_error_string(writer);
    return Error(PlatformError{"libarchive", archive_errno(writer),
                               text ? text : "The archive could not be written."});
}

Result<void> writeHeader(archive* writer, const std::string& name, bool directory,
                         std::int64_t size) {
    std::unique_ptr<archive_entry, EntryFreer> entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), directory ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(entry.get(), directory ? 0700 : 0600);
    archive_entry_set_size(entry.get(), directory ? 0 : size);
    archive_entry_set_mtime(entry.get(), ::time(nullptr), 0);
    if (archive_write_header(writer, entry.get()) != ARCHIVE_OK) {
        return Unexpected{archiveError(writer)};
    }
    return {};
}

// Adds the folder open at `dirfd` as `name` and everything below it. Names come
// from the directory itself and are checked with lstat, then opened without
// following links, so a link swapped in meanwhile fails instead of being followed.
Result<void> addFolder(archive* writer, int dirfd, const std::string& name) {
    if (auto header = writeHeader(writer, name + "/", true, 0); !header) {
        return header;
    }
    auto names = reports::linuxfs::listNames(dirfd);
    if (!names) {
        return Unexpected{names.error()};
    }
    std::sort(names->begin(), names->end());
    for (const std::string& child : *names) {
        auto info = reports::linuxfs::statAt(dirfd, child);
        if (!info) {
            return Unexpected{info.error()};
        }
        const std::string childName = name + "/" + child;
        if (info->type == EntryType::directory) {
            auto folder = reports::linuxfs::openDirectoryAt(dirfd, child);
            if (!folder) {
                return Unexpected{folder.error()};
            }
            if (auto added = addFolder(writer, folder->get(), childName); !added) {
                return added;
            }
            continue;
        }
        if (info->type != EntryType::regular) {
            return Unexpected{Error::posix(ELOOP)};
        }
        auto file = reports::linuxfs::openFileAt(dirfd, child);
        if (!file) {
            return Unexpected{file.error()};
        }
        struct stat status {};
        if (::fstat(file->get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            return Unexpected{Error::posix(ELOOP)};
        }
        if (auto header = writeHeader(writer, childName, false, status.st_size); !header) {
            return header;
        }
        char buffer[1 << 16];
        std::int64_t remaining = status.st_size;
        while (remaining > 0) {
            const ssize_t n = ::read(file->get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                // Shorter than its header says: the entry would be padded silently.
                return Unexpected{Error::posix(n < 0 ? errno : EIO)};
            }
            const auto chunk = std::min<std::int64_t>(n, remaining);
            if (archive_write_data(writer, buffer, static_cast<size_t>(chunk)) != chunk) {
                return Unexpected{archiveError(writer)};
            }
            remaining -= chunk;
        }
    }
    return {};
}

bool isShareFolderName(const std::string& name) {
    const std::string prefix = kFolderPrefix;
    if (name.size() != prefix.size() + 36 || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < 36; ++i) {
        const char c = name[prefix.size() + i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-'
                 : !(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

Result<std::string> readRegularFile(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        return Unexpected{Error::posix(errno)};
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return Unexpected{Error::posix(errno)};
    }
    if (!S_ISREG(status.st_mode)) {
        return Unexpected{Error::posix(EINVAL)};
    }
    return reports::linuxfs::readAll(fd.get());
}

} // namespace

Error packagingError() {
    return Error(PlatformError{kSharingErrorDomain, 1, "Could not package the report and video."});
}

Error destinationInsideCapturesError() {
    return Error(PlatformError{kSharingErrorDomain, 2,
                               "Choose a place outside the Snagreel captures folder."});
}

Result<void> zipFolder(const fs::path& folder, const fs::path& archivePath) {
    auto source = reports::linuxfs::openPathWithoutLinks(fs::absolute(folder));
    if (!source) {
        return Unexpected{source.error()};
    }
    UniqueFd output(
        ::open(archivePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!output.valid()) {
        return Unexpected{Error::posix(errno)};
    }
    std::unique_ptr<archive, ArchiveCloser> writer(archive_write_new());
    Result<void> written;
    if (archive_write_set_format_zip(writer.get()) != ARCHIVE_OK ||
        archive_write_open_fd(writer.get(), output.get()) != ARCHIVE_OK) {
        written = Unexpected{archiveError(writer.get())};
    } else {
        written = addFolder(writer.get(), source->get(), folder.filename().string());
        if (written && archive_write_close(writer.get()) != ARCHIVE_OK) {
            written = Unexpected{archiveError(writer.get())};
        }
    }
    if (written && (::fchmod(output.get(), 0600) != 0 || ::fsync(output.get()) != 0)) {
        written = Unexpected{Error::posix(errno)};
    }
    if (!written) {
        ::unlink(archivePath.c_str());
    }
    return written;
}

Result<fs::path> build(const reports::ReportStore& store, const reports::ReportExportPlan& plan,
                       const fs::path& temporaryRoot) {
    const fs::path folder = temporaryRoot / (kFolderPrefix + reports::linuxfs::newUpperCaseUUID());
    if (::mkdir(folder.c_str(), 0700) != 0) {
        return Unexpected{Error::posix(errno)};
    }
    auto fail = [&](Error error) -> Result<fs::path> {
        removeDirectory(folder);
        return Unexpected{std::move(error)};
    };
    const fs::path reportFolder = folder / kReportFolderName;
    if (auto exported = reports::exportReport(store, plan, reportFolder); !exported) {
        return fail(exported.error());
    }
    auto markdown = readRegularFile(reportFolder / "report.md");
    if (!markdown) {
        return fail(markdown.error());
    }
    const std::string page = ReportPresentation::html(*markdown, ReportPresentation::defaultTitle);
    if (auto written = writeFileAtomically(reportFolder / "index.html", page, 0600); !written) {
        return fail(written.error());
    }
    const fs::path archivePath = folder / kArchiveName;
    if (!zipFolder(reportFolder, archivePath)) {
        return fail(packagingError());
    }
    return archivePath;
}

Result<void> copyFileAtomically(const fs::path& source, const fs::path& destination) {
    auto bytes = readRegularFile(source);
    if (!bytes) {
        return Unexpected{bytes.error()};
    }
    return writeFileAtomically(destination, *bytes, 0600);
}

bool isInside(const fs::path& destination, const fs::path& capturesRoot) {
    std::error_code error;
    const fs::path root = fs::weakly_canonical(fs::absolute(capturesRoot), error);
    if (error) {
        return false;
    }
    const fs::path target = fs::weakly_canonical(fs::absolute(destination), error);
    if (error) {
        return true; // cannot tell: better refused than written over a capture
    }
    auto rootPiece = root.begin();
    auto targetPiece = target.begin();
    for (; rootPiece != root.end(); ++rootPiece, ++targetPiece) {
        if (rootPiece->empty() && std::next(rootPiece) == root.end()) {
            break; // a trailing separator
        }
        if (targetPiece == target.end() || *rootPiece != *targetPiece) {
            return false;
        }
    }
    return true;
}

int sweepStaleFolders(const fs::path& temporaryRoot, std::chrono::seconds maxAge) {
    std::error_code error;
    fs::directory_iterator entries(temporaryRoot, error);
    if (error) {
        return 0;
    }
    const auto now = ::time(nullptr);
    int removed = 0;
    for (const fs::directory_entry& entry : entries) {
        if (!isShareFolderName(entry.path().filename().string())) {
            continue;
        }
        struct stat status {};
        if (::lstat(entry.path().c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != ::getuid()) {
            continue;
        }
        if (now - status.st_mtime < maxAge.count()) {
            continue;
        }
        removeDirectory(entry.path());
        ++removed;
    }
    return removed;
}

fs::path packageFolderOf(const fs::path& archivePath) {
    const fs::path folder = archivePath.parent_path();
    if (archivePath.filename() == kArchiveName && isShareFolderName(folder.filename().string())) {
        return folder;
    }
    return {};
}

} // namespace snagreel::app::sharepackage
