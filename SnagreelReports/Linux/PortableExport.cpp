#include "SnagreelReports/Linux/CaptureFiles.hpp"
#include "SnagreelReports/ReportExport.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace snagreel::reports {

namespace {

using linuxfs::UniqueFd;

constexpr const char* kDestinationExists =
    "Choose a new export folder; the destination already exists.";
constexpr const char* kParentNotDirectory = "The export parent must be an existing directory.";

Result<std::string> resolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) {
        return Unexpected{Error::posix(errno)};
    }
    return std::string(resolved.get());
}

// Removes `name` in `dirfd` and everything below it, never following a link: a link
// put inside the staging folder is unlinked, not walked into.
void removeTree(int dirfd, const std::string& name) {
    const Result<linuxfs::EntryInfo> info = linuxfs::statAt(dirfd, name);
    if (!info) {
        return;
    }
    if (info->type == linuxfs::EntryType::directory) {
        if (Result<UniqueFd> dir = linuxfs::openDirectoryAt(dirfd, name)) {
            if (Result<std::vector<std::string>> names = linuxfs::listNames(dir->get())) {
                for (const std::string& child : *names) {
                    removeTree(dir->get(), child);
                }
            }
        }
        ::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
        return;
    }
    ::unlinkat(dirfd, name.c_str(), 0);
}

// Writes every file of the plan below `staging`, creating folders as the paths need.
Result<void> writeFiles(int staging, const std::map<std::string, std::string>& files) {
    // Open folders by their path below the staging folder, so that each is created and
    // opened once and flushed after its files.
    std::map<std::string, UniqueFd> folders;
    for (const auto& [relative, bytes] : files) {
        const std::optional<std::vector<std::string>> pieces = capturePathPieces(relative);
        if (!pieces) {
            return Unexpected{reportStoreError(reportmessages::kPathEscapes)};
        }
        int dirfd = staging;
        std::string prefix;
        for (std::size_t i = 0; i + 1 < pieces->size(); ++i) {
            prefix += (*pieces)[i];
            auto open = folders.find(prefix);
            if (open == folders.end()) {
                if (Result<bool> made = linuxfs::makeDirectoryAt(dirfd, (*pieces)[i], 0700);
                    !made) {
                    return Unexpected{made.error()};
                }
                Result<UniqueFd> dir = linuxfs::openDirectoryAt(dirfd, (*pieces)[i]);
                if (!dir) {
                    return Unexpected{std::move(dir).error()};
                }
                open = folders.emplace(prefix, std::move(*dir)).first;
            }
            dirfd = open->second.get();
            prefix += '/';
        }
        if (Result<void> written = linuxfs::writeNewFile(dirfd, pieces->back(), bytes, 0600);
            !written) {
            return Unexpected{written.error()};
        }
    }
    for (const auto& [relative, fd] : folders) {
        linuxfs::syncDirectory(fd.get());
    }
    linuxfs::syncDirectory(staging);
    return {};
}

// One rename that never replaces: where the file system cannot promise that, a
// lookup without following links comes first (a narrow race the kernel would close).
Result<void> moveIntoPlace(int parent, const std::string& staging, const std::string& name,
                           bool refuseNoReplace) {
    int result = -1;
    int code = EINVAL;
    if (!refuseNoReplace) {
        result = ::renameat2(parent, staging.c_str(), parent, name.c_str(), RENAME_NOREPLACE);
        code = errno;
    }
    if (result != 0 && (code == EINVAL || code == ENOSYS || code == ENOTSUP)) {
        Result<linuxfs::EntryInfo> existing = linuxfs::statAt(parent, name);
        if (existing) {
            return Unexpected{reportStoreError(kDestinationExists)};
        }
        if (existing.error().code() != ENOENT) {
            return Unexpected{existing.error()};
        }
        result = ::renameat(parent, staging.c_str(), parent, name.c_str());
        code = errno;
    }
    if (result != 0) {
        if (code == EEXIST || code == ENOTEMPTY) {
            return Unexpected{reportStoreError(kDestinationExists)};
        }
        return Unexpected{Error::posix(code)};
    }
    linuxfs::syncDirectory(parent);
    return {};
}

} // namespace

namespace {

// The limit for one file of an export: its kind's own, or what is left of the
// whole export's budget when that is less.
ReadLimit exportReadLimit(const std::string& relative, std::size_t used) {
    ReadLimit kind = readlimits::kEvidenceImage;
    if (relative == "clip.mp4") {
        kind = readlimits::kRecording;
    } else if (relative.ends_with("/evidence.json")) {
        kind = readlimits::kEvidenceIndex;
    }
    const std::size_t left = readlimits::kExportBytes - std::min(used, readlimits::kExportBytes);
    if (left < kind.bytes) {
        return {left, reportmessages::kExportTooLarge};
    }
    return kind;
}

} // namespace

Result<ReportExportPlan> prepareExport(const ReportStore& store, const std::string& id) {
    return withoutAllocationFailure([&]() -> Result<ReportExportPlan> {
        Result<ReportDocument> document = store.load(id);
        if (!document) {
            return Unexpected{std::move(document).error()};
        }
        const std::string capturePath = store.captureURL().string();
        std::size_t used = document->text.size();
        exportsteps::EvidenceReader reader;
        reader.read = [&store, &used](const std::string& relative) -> Result<std::string> {
            auto bytes = store.readFile(relative, exportReadLimit(relative, used));
            if (bytes) {
                used += bytes->size();
            }
            return bytes;
        };
        reader.relativeIndexedPath =
            [&capturePath](const std::string& absolute) -> Result<std::string> {
            if (Result<void> form = exportsteps::validateIndexedPath(absolute); !form) {
                return Unexpected{form.error()};
            }
            // Resolving looks at names on the way, not at contents; the frame itself is
            // read only afterwards, through the capture's own checks.
            Result<std::string> resolved = resolvedPath(absolute);
            if (!resolved) {
                return Unexpected{std::move(resolved).error()};
            }
            return exportsteps::pathBelowCapture(*resolved, capturePath);
        };
        Result<std::map<std::string, std::string>> files =
            exportsteps::exportFiles(document->text, reader);
        if (!files) {
            return Unexpected{std::move(files).error()};
        }
        ReportExportPlan plan;
        plan.inventory = exportsteps::inventoryOf(*files);
        plan.capturePath = capturePath;
        plan.files = std::move(*files);
        return plan;
    });
}

Result<void> exportReport(const ReportStore& store, const ReportExportPlan& plan,
                          const std::filesystem::path& destination,
                          const ReportExportOptions& options) {
    if (plan.capturePath != store.captureURL().string()) {
        return Unexpected{reportStoreError("This export was prepared for a different capture.")};
    }
    std::error_code ec;
    std::filesystem::path target =
        destination.is_absolute() ? destination : std::filesystem::absolute(destination, ec);
    if (ec) {
        return Unexpected{Error::posix(ec.value())};
    }
    target = target.lexically_normal();
    if (!target.has_filename() && target.has_relative_path()) {
        target = target.parent_path();
    }
    const std::string name = target.filename().string();
    if (name.empty() || name == "." || name == "..") {
        return Unexpected{reportStoreError(kDestinationExists)};
    }

    Result<std::string> parentPath = resolvedPath(target.parent_path().string());
    if (!parentPath) {
        const std::int64_t code = parentPath.error().code();
        if (code == ENOENT || code == ENOTDIR) {
            return Unexpected{reportStoreError(kParentNotDirectory)};
        }
        return Unexpected{std::move(parentPath).error()};
    }
    // Every later step names things relative to this descriptor, so a parent swapped
    // for a link after this point is never followed.
    Result<UniqueFd> parent = linuxfs::openPathWithoutLinks(*parentPath);
    if (!parent) {
        if (parent.error().code() == ENOTDIR) {
            return Unexpected{reportStoreError(kParentNotDirectory)};
        }
        return Unexpected{std::move(parent).error()};
    }
    Result<linuxfs::EntryInfo> parentInfo = linuxfs::statFd(parent->get());
    if (!parentInfo) {
        return Unexpected{std::move(parentInfo).error()};
    }
    if (parentInfo->type != linuxfs::EntryType::directory) {
        return Unexpected{reportStoreError(kParentNotDirectory)};
    }
    Result<linuxfs::EntryInfo> existing = linuxfs::statAt(parent->get(), name);
    if (existing) {
        return Unexpected{reportStoreError(kDestinationExists)};
    }
    if (existing.error().code() != ENOENT) {
        return Unexpected{std::move(existing).error()};
    }

    const std::string staging = kExportStagingPrefix + linuxfs::newUpperCaseUUID();
    Result<bool> made = linuxfs::makeDirectoryAt(parent->get(), staging, 0700);
    if (!made) {
        // The folder may have been made before its mode could be set; the name is ours.
        removeTree(parent->get(), staging);
        return Unexpected{std::move(made).error()};
    }
    if (!*made) {
        return Unexpected{Error::posix(EEXIST)};
    }
    const auto failed = [&](Error error) -> Result<void> {
        removeTree(parent->get(), staging);
        return Unexpected{std::move(error)};
    };
    Result<UniqueFd> stagingFd = linuxfs::openDirectoryAt(parent->get(), staging);
    if (!stagingFd) {
        return failed(std::move(stagingFd).error());
    }
    // Inside, so that a failed allocation still takes the staging folder away.
    if (Result<void> written =
            withoutAllocationFailure([&] { return writeFiles(stagingFd->get(), plan.files); });
        !written) {
        return failed(written.error());
    }
    if (options.beforeMove) {
        options.beforeMove();
    }
    if (Result<void> moved =
            moveIntoPlace(parent->get(), staging, name, options.refuseNoReplaceRename);
        !moved) {
        return failed(moved.error());
    }
    return {};
}

} // namespace snagreel::reports
