#pragma once

#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelReports/ReportDocument.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snagreel::reports {

inline constexpr const char* kReportStoreErrorDomain = "Snagreel.ReportStoreError";

// The store's own refusals. The message is the sentence the user sees; file-system
// errors are not wrapped in this but passed on as they come.
struct ReportStoreError {
    std::string message;

    PlatformError platformForm() const { return {kReportStoreErrorDomain, 1, message}; }
    bool operator==(const ReportStoreError&) const = default;
};

// An Error carrying ReportStoreError{message}; the portable export raises its own
// sentences through this too.
Error reportStoreError(std::string message);

namespace reportmessages {
inline constexpr const char* kCaptureNotDirectory =
    "The capture must be a directory, not a symbolic link.";
inline constexpr const char* kCaptureChanged =
    "The capture directory changed or became a symbolic link.";
inline constexpr const char* kUnsupportedFilename = "Unsupported report filename.";
inline constexpr const char* kPathEscapes = "An evidence path escapes the selected capture.";
inline constexpr const char* kNotPlainFile =
    "A report or evidence path is not a regular file/directory, or is a symbolic link.";
inline constexpr const char* kWorkingNotUTF8 = "The saved working copy is not valid UTF-8.";
inline constexpr const char* kHardLinked =
    "A report or evidence file has more than one hard link, so it may belong outside the capture.";
inline constexpr const char* kReportTooLarge =
    "The report or its working copy is larger than 4 MiB and cannot be opened.";
inline constexpr const char* kSelectionTooLarge =
    "The report selection is larger than 4 KiB and cannot be read.";
inline constexpr const char* kIndexTooLarge =
    "An evidence index is larger than 1 MiB and cannot be exported.";
inline constexpr const char* kEvidenceTooLarge =
    "The recording or an evidence image is too large to include in a portable report.";
inline constexpr const char* kExportTooLarge = "The portable report would be larger than 512 MiB.";
inline constexpr const char* kOutOfMemory = "There is not enough memory to read the report files.";
} // namespace reportmessages

// The most bytes read from one file of a kind, and the sentence that refuses more.
// Far above anything written by the app or an engine, and far below what would
// exhaust memory: a planted huge file is refused before it is read.
struct ReadLimit {
    std::size_t bytes;
    const char* message;
};

namespace readlimits {
// A report or working copy is text someone reads and edits.
inline constexpr ReadLimit kReport{std::size_t{4} << 20, reportmessages::kReportTooLarge};
// {"id": name} with a name of at most NAME_MAX bytes, even fully \u-escaped.
inline constexpr ReadLimit kSelection{std::size_t{4} << 10, reportmessages::kSelectionTooLarge};
// About 200 bytes a frame: thousands of frames, where a 60 s clip has 900.
inline constexpr ReadLimit kEvidenceIndex{std::size_t{1} << 20, reportmessages::kIndexTooLarge};
// A full-screen PNG of an 8K display stays well below this.
inline constexpr ReadLimit kEvidenceImage{std::size_t{64} << 20, reportmessages::kEvidenceTooLarge};
// A 60 s clip at 15 fps is about 30 MB; eight times that covers the largest screens.
inline constexpr ReadLimit kRecording{std::size_t{256} << 20, reportmessages::kEvidenceTooLarge};
// Everything a portable export holds in memory at once.
inline constexpr std::size_t kExportBytes = std::size_t{512} << 20;
} // namespace readlimits

// Runs `body`, turning an allocation failure into an error: the store's and the
// export's operations report failures as values and must not throw.
template <typename Body> auto withoutAllocationFailure(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Unexpected{reportStoreError(reportmessages::kOutOfMemory)};
    }
}

// ^[A-Za-z0-9][A-Za-z0-9._ -]*\.md$ — also bounded by NAME_MAX and free of NUL.
bool isValidReportID(std::string_view id);

// The pieces of a capture-relative path split on '/', keeping empty pieces; none
// when the path is empty or a piece is empty, ".", ".." or holds a backslash. A NUL
// or a piece longer than NAME_MAX is refused the same way (the kernel could not
// name it faithfully).
std::optional<std::vector<std::string>> capturePathPieces(std::string_view relative);

struct ReportStoreOptions {
    // The UUID part of a manual report's name; empty: a new random UUID. Upper-cased.
    std::function<std::string()> makeIdentifier;
    // Test seam: runs after a path piece passed its type check and before it is
    // opened, with the capture-relative path up to and including that piece.
    std::function<void(const std::string& relative)> beforeOpen;
};

// The reports of one capture directory. Cheap to copy; copies share one open
// descriptor of the capture directory, taken at creation through a path without
// symbolic links, and every file below it is reached from that descriptor one
// piece at a time without following links. A link swapped in after a check is
// therefore refused when it is opened, never followed.
//
// Files that have more than one hard link are not treated as plain files: they may
// also live outside the capture, so they are neither read nor written through.
class ReportStore {
public:
    static constexpr const char* kWorkingName = "working";
    static constexpr const char* kSelectionFileName = "selection.json";

    // Fails with the platform error when `captureURL` cannot be read, and with
    // kCaptureNotDirectory when it is not a real directory.
    static Result<ReportStore> create(const std::filesystem::path& captureURL,
                                      ReportStoreOptions options = {});

    // Standardised, absolute, symbolic links resolved.
    const std::filesystem::path& captureURL() const;
    const char* workingName() const { return kWorkingName; }

    // Newest first, from the entries' metadata alone: a report that cannot be opened
    // is still listed. Hidden files, names breaking the rule, links, folders,
    // multiply-linked files and entries that cannot be looked at are skipped.
    Result<std::vector<ReportEntry>> list() const;
    Result<std::optional<std::string>> selectedID() const;
    Result<ReportDocument> load(const std::string& id) const;
    Result<ReportDocument> select(const std::string& id) const;
    // Stores `text` as the working copy; the report file itself is never touched.
    Result<void> save(const std::string& id, std::string_view text) const;
    // A new "report-manual-<UUID>.md" holding `text`, never replacing a file.
    Result<ReportDocument> createManual(std::string_view text) const;

    // --- Path checks, shared with the portable export ---

    // The capture path is still a real directory, still free of links, and still
    // the directory this store opened.
    Result<void> assertCapture() const;
    // The absolute path of `relative` after checking every piece as a directory,
    // and the last as a regular file unless `directory`.
    Result<std::filesystem::path> checkedPath(std::string_view relative, bool directory) const;
    // The bytes of a regular file inside the capture, checked as checkedPath does
    // and read from the descriptor that was checked; a file larger than `limit` fails
    // with its message.
    Result<std::string> readFile(std::string_view relative, ReadLimit limit) const;
    // Whether a capture-relative item exists (not following links); the pieces
    // before the last are checked as directories.
    Result<bool> existsInCapture(std::string_view relative) const;
    // lstat-style existence of any path: no such file is false, other errors fail.
    static Result<bool> exists(const std::filesystem::path& path);

private:
    struct State;
    explicit ReportStore(std::shared_ptr<const State> state) : state_(std::move(state)) {}
    std::shared_ptr<const State> state_;
};

} // namespace snagreel::reports
