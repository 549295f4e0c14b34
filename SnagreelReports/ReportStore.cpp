#include "SnagreelReports/ReportStore.hpp"

#include "SnagreelCore/Support/Json.hpp"
#include "SnagreelReports/Linux/CaptureFiles.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

namespace snagreel::reports {

namespace {

using linuxfs::EntryInfo;
using linuxfs::EntryType;
using linuxfs::UniqueFd;

Error invalid(const char* message) {
    return reportStoreError(message);
}

bool isPlainFile(const EntryInfo& info) {
    // A second hard link may live outside the capture, so such a file is not ours.
    return info.type == EntryType::regular && info.linkCount == 1;
}

// Why `info` is not what the path check expects, if it is not.
std::optional<const char*> typeRefusal(const EntryInfo& info, bool directory) {
    if (directory ? info.type == EntryType::directory : isPlainFile(info)) {
        return std::nullopt;
    }
    if (!directory && info.type == EntryType::regular) {
        return reportmessages::kHardLinked;
    }
    return reportmessages::kNotPlainFile;
}

bool isErrno(const Error& error, int code) {
    return error.domain() == kPosixDomain && error.code() == code;
}

Result<std::string> readLimited(int fd, ReadLimit limit) {
    auto bytes = linuxfs::readAll(fd, limit.bytes);
    if (!bytes && isErrno(bytes.error(), EFBIG)) {
        return Unexpected{invalid(limit.message)};
    }
    return bytes;
}

// A link or a non-directory met by an O_NOFOLLOW open after the type check passed:
// the piece was swapped, and is refused as the check would have refused it.
bool isSwappedPiece(const Error& error) {
    return isErrno(error, ELOOP) || isErrno(error, ENOTDIR) || isErrno(error, EISDIR);
}

bool isValidUTF8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > bytes.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (next & 0x3F);
        }
        const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

Result<std::filesystem::path> resolvedPath(const std::filesystem::path& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return Unexpected{Error::posix(errno)};
    }
    std::filesystem::path result(resolved);
    std::free(resolved);
    return result;
}

std::filesystem::path standardised(const std::filesystem::path& path) {
    std::filesystem::path absolute = path;
    if (absolute.is_relative()) {
        std::error_code ignored;
        absolute = std::filesystem::current_path(ignored) / absolute;
    }
    absolute = absolute.lexically_normal();
    if (!absolute.has_filename() && absolute != absolute.root_path()) {
        absolute = absolute.parent_path();
    }
    return absolute;
}

Result<bool> existsAt(int dirfd, const std::string& name) {
    auto info = linuxfs::statAt(dirfd, name);
    if (info) {
        return true;
    }
    if (isErrno(info.error(), ENOENT)) {
        return false;
    }
    return Unexpected{std::move(info).error()};
}

Error selectionDecodingError() {
    return Error(PlatformError{"Snagreel.DecodingError", 1,
                               "The report selection could not be read because it is not a JSON "
                               "object with a string \"id\"."});
}

Error reportNotUTF8Error(const std::string& id) {
    return Error(PlatformError{"Snagreel.DecodingError", 2,
                               "The report \u201C" + id +
                                   "\u201D could not be opened because it is not UTF-8 text."});
}

} // namespace

Error reportStoreError(std::string message) {
    return Error(ReportStoreError{std::move(message)});
}

bool isValidReportID(std::string_view id) {
    // No "$ before a final newline" leniency: the name must end in ".md" itself.
    if (id.size() < 4 || id.size() > NAME_MAX || !id.ends_with(".md")) {
        return false;
    }
    auto alnum = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    };
    if (!alnum(id[0])) {
        return false;
    }
    for (char c : id.substr(1)) {
        if (!alnum(c) && c != '.' && c != '_' && c != ' ' && c != '-') {
            return false;
        }
    }
    return true;
}

std::optional<std::vector<std::string>> capturePathPieces(std::string_view relative) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', start);
        const std::string_view piece = relative.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (piece.empty() || piece == "." || piece == ".." ||
            piece.find('\\') != std::string_view::npos ||
            piece.find('\0') != std::string_view::npos || piece.size() > NAME_MAX) {
            return std::nullopt;
        }
        pieces.emplace_back(piece);
        if (slash == std::string_view::npos) {
            return pieces;
        }
        start = slash + 1;
    }
}

struct ReportStore::State {
    std::filesystem::path captureURL;
    UniqueFd capture;
    dev_t device = 0;
    ino_t inode = 0;
    ReportStoreOptions options;
};

namespace {

// The result of walking a checked path: the opened last piece and its folder.
struct Walked {
    UniqueFd parent;
    UniqueFd target;
    std::string name;
    EntryInfo info;
};

// Each piece is looked at without following links, then opened from its parent's
// descriptor with O_NOFOLLOW and looked at again through the new descriptor, so a
// swap between the look and the open cannot lead anywhere else.
Result<Walked> walkCapture(int captureFd, const ReportStoreOptions& options,
                           const std::vector<std::string>& pieces, bool directory) {
    Walked walked;
    {
        auto self = linuxfs::openDirectoryAt(captureFd, ".");
        if (!self) {
            return Unexpected{std::move(self).error()};
        }
        walked.target = std::move(*self);
    }
    std::string soFar;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        const bool wantDirectory = directory || i + 1 < pieces.size();
        soFar += (i == 0 ? "" : "/") + piece;
        walked.parent = std::move(walked.target);
        auto seen = linuxfs::statAt(walked.parent.get(), piece);
        if (!seen) {
            return Unexpected{std::move(seen).error()};
        }
        if (const auto refused = typeRefusal(*seen, wantDirectory)) {
            return Unexpected{invalid(*refused)};
        }
        if (options.beforeOpen) {
            options.beforeOpen(soFar);
        }
        auto opened = wantDirectory ? linuxfs::openDirectoryAt(walked.parent.get(), piece)
                                    : linuxfs::openFileAt(walked.parent.get(), piece);
        if (!opened) {
            if (isSwappedPiece(opened.error())) {
                return Unexpected{invalid(reportmessages::kNotPlainFile)};
            }
            return Unexpected{std::move(opened).error()};
        }
        auto info = linuxfs::statFd(opened->get());
        if (!info) {
            return Unexpected{std::move(info).error()};
        }
        if (const auto refused = typeRefusal(*info, wantDirectory)) {
            return Unexpected{invalid(*refused)};
        }
        walked.target = std::move(*opened);
        walked.info = *info;
        walked.name = piece;
    }
    return walked;
}

Result<Walked> walkRelative(int captureFd, const ReportStoreOptions& options,
                            std::string_view relative, bool directory) {
    const auto pieces = capturePathPieces(relative);
    if (!pieces) {
        return Unexpected{invalid(reportmessages::kPathEscapes)};
    }
    return walkCapture(captureFd, options, *pieces, directory);
}

} // namespace

Result<ReportStore> ReportStore::create(const std::filesystem::path& captureURL,
                                        ReportStoreOptions options) {
    const std::filesystem::path path = standardised(captureURL);
    auto info = linuxfs::statPath(path);
    if (!info) {
        return Unexpected{std::move(info).error()};
    }
    if (info->type != EntryType::directory) {
        return Unexpected{invalid(reportmessages::kCaptureNotDirectory)};
    }
    auto resolved = resolvedPath(path);
    if (!resolved) {
        return Unexpected{std::move(resolved).error()};
    }
    // The resolved path has no links; one appearing now is a swap and is refused.
    auto fd = linuxfs::openPathWithoutLinks(*resolved);
    if (!fd) {
        if (isSwappedPiece(fd.error())) {
            return Unexpected{invalid(reportmessages::kCaptureChanged)};
        }
        return Unexpected{std::move(fd).error()};
    }
    auto opened = linuxfs::statFd(fd->get());
    if (!opened) {
        return Unexpected{std::move(opened).error()};
    }
    auto state = std::make_shared<State>();
    state->captureURL = std::move(*resolved);
    state->capture = std::move(*fd);
    state->device = opened->device;
    state->inode = opened->inode;
    state->options = std::move(options);
    return ReportStore(std::move(state));
}

const std::filesystem::path& ReportStore::captureURL() const {
    return state_->captureURL;
}

Result<void> ReportStore::assertCapture() const {
    auto info = linuxfs::statPath(state_->captureURL);
    if (!info) {
        return Unexpected{std::move(info).error()};
    }
    if (info->type != EntryType::directory) {
        return Unexpected{invalid(reportmessages::kCaptureChanged)};
    }
    auto resolved = resolvedPath(state_->captureURL);
    // Also the same directory as the one opened: a folder moved away and another
    // put in its place is a different capture, even without any link.
    if (!resolved || *resolved != state_->captureURL || info->device != state_->device ||
        info->inode != state_->inode) {
        return Unexpected{invalid(reportmessages::kCaptureChanged)};
    }
    return {};
}

Result<std::filesystem::path> ReportStore::checkedPath(std::string_view relative,
                                                       bool directory) const {
    if (auto ok = assertCapture(); !ok) {
        return Unexpected{std::move(ok).error()};
    }
    auto walked = walkRelative(state_->capture.get(), state_->options, relative, directory);
    if (!walked) {
        return Unexpected{std::move(walked).error()};
    }
    return state_->captureURL / std::filesystem::path(std::string(relative));
}

Result<std::string> ReportStore::readFile(std::string_view relative, ReadLimit limit) const {
    if (auto ok = assertCapture(); !ok) {
        return Unexpected{std::move(ok).error()};
    }
    auto walked = walkRelative(state_->capture.get(), state_->options, relative, false);
    if (!walked) {
        return Unexpected{std::move(walked).error()};
    }
    return readLimited(walked->target.get(), limit);
}

Result<bool> ReportStore::existsInCapture(std::string_view relative) const {
    if (auto ok = assertCapture(); !ok) {
        return Unexpected{std::move(ok).error()};
    }
    auto pieces = capturePathPieces(relative);
    if (!pieces) {
        return Unexpected{invalid(reportmessages::kPathEscapes)};
    }
    const std::string last = pieces->back();
    pieces->pop_back();
    int parent = state_->capture.get();
    Walked walked;
    if (!pieces->empty()) {
        auto folder = walkCapture(state_->capture.get(), state_->options, *pieces, true);
        if (!folder) {
            return Unexpected{std::move(folder).error()};
        }
        walked = std::move(*folder);
        parent = walked.target.get();
    }
    return existsAt(parent, last);
}

Result<bool> ReportStore::exists(const std::filesystem::path& path) {
    auto info = linuxfs::statPath(path);
    if (info) {
        return true;
    }
    if (isErrno(info.error(), ENOENT)) {
        return false;
    }
    return Unexpected{std::move(info).error()};
}

namespace {

// The operations below need the store's private state; they are spelled as free
// functions over it so the header stays the public surface only.
struct Ops {
    int capture;
    const ReportStoreOptions& options;
    const ReportStore& store;

    Result<UniqueFd> ensureWorking() const {
        if (auto ok = store.assertCapture(); !ok) {
            return Unexpected{std::move(ok).error()};
        }
        if (auto made = linuxfs::makeDirectoryAt(capture, ReportStore::kWorkingName, 0700); !made) {
            return Unexpected{std::move(made).error()};
        }
        auto walked = walkRelative(capture, options, ReportStore::kWorkingName, true);
        if (!walked) {
            return Unexpected{std::move(walked).error()};
        }
        return std::move(walked->target);
    }

    Result<std::optional<std::string>> workingData(const std::string& name, ReadLimit limit) const {
        if (auto ok = store.assertCapture(); !ok) {
            return Unexpected{std::move(ok).error()};
        }
        auto present = existsAt(capture, ReportStore::kWorkingName);
        if (!present) {
            return Unexpected{std::move(present).error()};
        }
        if (!*present) {
            return std::optional<std::string>();
        }
        auto folder = walkRelative(capture, options, ReportStore::kWorkingName, true);
        if (!folder) {
            return Unexpected{std::move(folder).error()};
        }
        auto file = existsAt(folder->target.get(), name);
        if (!file) {
            return Unexpected{std::move(file).error()};
        }
        if (!*file) {
            return std::optional<std::string>();
        }
        auto walked = walkRelative(capture, options,
                                   std::string(ReportStore::kWorkingName) + "/" + name, false);
        if (!walked) {
            return Unexpected{std::move(walked).error()};
        }
        auto bytes = readLimited(walked->target.get(), limit);
        if (!bytes) {
            return Unexpected{std::move(bytes).error()};
        }
        return std::optional<std::string>(std::move(*bytes));
    }

    Result<void> writeWorking(const std::string& name, std::string_view data) const {
        auto folder = ensureWorking();
        if (!folder) {
            return Unexpected{std::move(folder).error()};
        }
        // An existing entry of that name must be a plain file: a link, a folder or a
        // multiply-linked file there is refused rather than replaced.
        auto existing = linuxfs::statAt(folder->get(), name);
        if (existing) {
            if (const auto refused = typeRefusal(*existing, false)) {
                return Unexpected{invalid(*refused)};
            }
        }
        if (!existing && !isErrno(existing.error(), ENOENT)) {
            return Unexpected{std::move(existing).error()};
        }
        // The new bytes go to a new inode that is renamed into place: the old working
        // copy survives a crash, and nothing is ever written through a link.
        return linuxfs::replaceFile(folder->get(), name, data, 0600);
    }

    Result<ReportEntry> entry(const std::string& id) const {
        if (!isValidReportID(id)) {
            return Unexpected{invalid(reportmessages::kUnsupportedFilename)};
        }
        if (auto ok = store.assertCapture(); !ok) {
            return Unexpected{std::move(ok).error()};
        }
        auto walked = walkRelative(capture, options, id, false);
        if (!walked) {
            return Unexpected{std::move(walked).error()};
        }
        return makeReportEntry(id, walked->info.creationDate, walked->info.modificationDate);
    }

    Result<void> storeSelection(const std::string& id) const {
        auto text = dumpJson(nlohmann::json{{"id", id}});
        if (!text) {
            return Unexpected{selectionDecodingError()};
        }
        return writeWorking(ReportStore::kSelectionFileName, *text);
    }
};

} // namespace

Result<std::vector<ReportEntry>> ReportStore::list() const {
    return withoutAllocationFailure([&]() -> Result<std::vector<ReportEntry>> {
        if (auto ok = assertCapture(); !ok) {
            return Unexpected{std::move(ok).error()};
        }
        auto names = linuxfs::listNames(state_->capture.get());
        if (!names) {
            return Unexpected{std::move(names).error()};
        }
        std::vector<ReportEntry> entries;
        for (const std::string& name : *names) {
            if (name.starts_with(".") || !isValidReportID(name)) {
                continue;
            }
            // The entry's own metadata, never its contents: a report left unreadable
            // (another owner, no permissions) or gone since the directory was read
            // costs only its own row.
            auto info = linuxfs::statAt(state_->capture.get(), name);
            if (!info || !isPlainFile(*info)) {
                continue;
            }
            entries.push_back(makeReportEntry(name, info->creationDate, info->modificationDate));
        }
        sortReportEntries(entries);
        return entries;
    });
}

Result<std::optional<std::string>> ReportStore::selectedID() const {
    return withoutAllocationFailure([&]() -> Result<std::optional<std::string>> {
        const Ops ops{state_->capture.get(), state_->options, *this};
        auto bytes = ops.workingData(kSelectionFileName, readlimits::kSelection);
        if (!bytes) {
            return Unexpected{std::move(bytes).error()};
        }
        if (!*bytes) {
            return std::optional<std::string>();
        }
        auto json = parseJson(**bytes);
        if (!json || !json->is_object()) {
            return Unexpected{selectionDecodingError()};
        }
        auto id = jsonread::readString(*json, "id");
        if (!id) {
            return Unexpected{selectionDecodingError()};
        }
        if (!isValidReportID(*id)) {
            return Unexpected{invalid(reportmessages::kUnsupportedFilename)};
        }
        auto present = existsAt(state_->capture.get(), *id);
        if (!present) {
            return Unexpected{std::move(present).error()};
        }
        if (!*present) {
            return std::optional<std::string>();
        }
        if (auto checked = checkedPath(*id, false); !checked) {
            return Unexpected{std::move(checked).error()};
        }
        return std::optional<std::string>(std::move(*id));
    });
}

Result<ReportDocument> ReportStore::load(const std::string& id) const {
    return withoutAllocationFailure([&]() -> Result<ReportDocument> {
        const Ops ops{state_->capture.get(), state_->options, *this};
        if (!isValidReportID(id)) {
            return Unexpected{invalid(reportmessages::kUnsupportedFilename)};
        }
        auto original = readFile(id, readlimits::kReport);
        if (!original) {
            return Unexpected{std::move(original).error()};
        }
        if (!isValidUTF8(*original)) {
            return Unexpected{reportNotUTF8Error(id)};
        }
        auto working = ops.workingData(id, readlimits::kReport);
        if (!working) {
            return Unexpected{std::move(working).error()};
        }
        if (*working && !isValidUTF8(**working)) {
            return Unexpected{invalid(reportmessages::kWorkingNotUTF8)};
        }
        auto made = ops.entry(id);
        if (!made) {
            return Unexpected{std::move(made).error()};
        }
        ReportDocument document;
        document.entry = std::move(*made);
        document.text = *working ? std::move(**working) : *original;
        document.originalText = std::move(*original);
        return document;
    });
}

Result<ReportDocument> ReportStore::select(const std::string& id) const {
    return withoutAllocationFailure([&]() -> Result<ReportDocument> {
        const Ops ops{state_->capture.get(), state_->options, *this};
        auto document = load(id);
        if (!document) {
            return document;
        }
        if (auto stored = ops.storeSelection(id); !stored) {
            return Unexpected{std::move(stored).error()};
        }
        return document;
    });
}

Result<void> ReportStore::save(const std::string& id, std::string_view text) const {
    return withoutAllocationFailure([&]() -> Result<void> {
        const Ops ops{state_->capture.get(), state_->options, *this};
        if (!isValidReportID(id)) {
            return Unexpected{invalid(reportmessages::kUnsupportedFilename)};
        }
        if (auto checked = checkedPath(id, false); !checked) {
            return Unexpected{std::move(checked).error()};
        }
        // Bytes that load would refuse are refused here, before they replace a good copy.
        if (text.size() > readlimits::kReport.bytes) {
            return Unexpected{invalid(readlimits::kReport.message)};
        }
        if (!isValidUTF8(text)) {
            return Unexpected{invalid(reportmessages::kWorkingNotUTF8)};
        }
        return ops.writeWorking(id, text);
    });
}

Result<ReportDocument> ReportStore::createManual(std::string_view text) const {
    return withoutAllocationFailure([&]() -> Result<ReportDocument> {
        const Ops ops{state_->capture.get(), state_->options, *this};
        if (text.size() > readlimits::kReport.bytes) {
            return Unexpected{invalid(readlimits::kReport.message)};
        }
        if (!isValidUTF8(text)) {
            return Unexpected{invalid(reportmessages::kWorkingNotUTF8)};
        }
        if (auto folder = ops.ensureWorking(); !folder) {
            return Unexpected{std::move(folder).error()};
        }
        std::string identifier =
            state_->options.makeIdentifier ? state_->options.makeIdentifier() : "";
        if (identifier.empty()) {
            identifier = linuxfs::newUpperCaseUUID();
        }
        for (char& c : identifier) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        const std::string name = "report-manual-" + identifier + ".md";
        if (!isValidReportID(name)) {
            return Unexpected{invalid(reportmessages::kUnsupportedFilename)};
        }
        const int capture = state_->capture.get();
        const std::string staging = ".report-" + linuxfs::newUpperCaseUUID() + ".tmp";
        if (auto wrote = linuxfs::writeNewFile(capture, staging, text, 0600); !wrote) {
            return Unexpected{std::move(wrote).error()};
        }
        // linkat refuses an existing name, so no report is ever replaced. The staging
        // name goes at once, leaving the report with its single link before it is read.
        auto linked = linuxfs::linkNew(capture, staging, name);
        linuxfs::removeAt(capture, staging);
        linuxfs::syncDirectory(capture);
        if (!linked) {
            return Unexpected{std::move(linked).error()};
        }
        auto document = load(name);
        Result<void> stored = document ? ops.storeSelection(name) : Result<void>();
        if (!document || !stored) {
            linuxfs::removeAt(capture, name);
            linuxfs::syncDirectory(capture);
            return Unexpected{!document ? std::move(document).error() : std::move(stored).error()};
        }
        return document;
    });
}

} // namespace snagreel::reports
