#pragma once

#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snagreel::reports {

// The hidden folder an export is written into before it is moved into place.
inline constexpr const char* kExportStagingPrefix = ".snagreel-export-";

// One file of a portable export, as listed to the user before writing.
struct ReportExportItem {
    std::string relativePath; // slash-separated, inside the export folder
    std::int64_t byteCount = 0;

    bool operator==(const ReportExportItem&) const = default;
};

// Everything a portable export will write, read and checked up front so that a bad
// link is found before the first byte reaches the disk. The recording is held here
// too: memory grows with the clip (about 30 MB for a 60 s clip).
struct ReportExportPlan {
    std::vector<ReportExportItem> inventory;  // sorted by relativePath
    std::string capturePath;                  // the capture folder it was prepared from
    std::map<std::string, std::string> files; // relative path -> bytes

    bool operator==(const ReportExportPlan&) const = default;
};

// Reads and checks everything that report `id` of `store` would export: its current
// text (the working copy when there is one), the recording, and the evidence its links
// name. Nothing is written.
Result<ReportExportPlan> prepareExport(const ReportStore& store, const std::string& id);

struct ReportExportOptions {
    // Test seams: run just before the staging folder is moved to the destination, and
    // act as a file system that refuses a rename which must not replace.
    std::function<void()> beforeMove;
    bool refuseNoReplaceRename = false;
};

// Writes `plan` as a new folder at `destination` (its parent must exist). Everything
// is written into a hidden private folder beside it first and moved into place in one
// rename that never replaces an existing item; on failure nothing is left behind.
Result<void> exportReport(const ReportStore& store, const ReportExportPlan& plan,
                          const std::filesystem::path& destination,
                          const ReportExportOptions& options = {});

// The steps of preparing an export that need no file system. They are exposed so that
// the link rules can be exercised on their own; the store runs them in order.
namespace exportsteps {

// Every inline link or image destination of a report, in text order. Fails when the
// text holds reference-style definitions or HTML asset tags, or a "](" that is not a
// link this exporter understands, since either would leave an asset behind silently.
Result<std::vector<std::string>> markdownDestinations(std::string_view text);

// The capture-relative path a link names, or nothing for a link that stays outside the
// export (an in-page anchor, a web page, a mail address).
Result<std::optional<std::string>> localDestination(std::string_view link);

Result<void> validateImagePath(std::string_view path);

// What the evidence index needs from the capture: the bytes of a capture-relative file
// (read through the store's path checks), and the capture-relative form of an absolute
// frame path that an index recorded.
struct EvidenceReader {
    std::function<Result<std::string>(const std::string& relative)> read;
    std::function<Result<std::string>(const std::string& absolute)> relativeIndexedPath;
};

// Reads the index at `path`, adds every frame image it lists to `files` and puts the
// rewritten index, which points only inside the export, under `path`. `files` is left
// as it was when this fails.
Result<void> addEvidenceIndex(const std::string& path, const EvidenceReader& reader,
                              std::map<std::string, std::string>& files);

// `file` relative to `folder`, both capture-relative: "../" once for each piece of
// `folder` that `file` does not share.
std::string relativeTo(std::string_view file, std::string_view folder);

// The pieces of an absolute frame path below the capture, given the path with links
// already resolved; fails when the path does not lie inside `capturePath`.
Result<std::string> pathBelowCapture(std::string_view resolved, std::string_view capturePath);

// Checks the form of an absolute frame path before anything is resolved.
Result<void> validateIndexedPath(std::string_view absolute);

std::vector<ReportExportItem> inventoryOf(const std::map<std::string, std::string>& files);

// Builds the whole file map of an export from the report's text, with `reader` giving
// access to the capture ("clip.mp4" and the evidence).
Result<std::map<std::string, std::string>> exportFiles(std::string_view reportText,
                                                       const EvidenceReader& reader);

} // namespace exportsteps

} // namespace snagreel::reports
