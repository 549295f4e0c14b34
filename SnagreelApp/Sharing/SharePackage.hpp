#pragma once

#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelReports/ReportExport.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <chrono>
#include <filesystem>
#include <string>

// Building the shared ZIP package and copying things out of the captures folder.
// Everything here blocks on the disk: run it off the main thread.
namespace snagreel::app::sharepackage {

inline constexpr const char* kFolderPrefix = "Snagreel-share-";
inline constexpr const char* kReportFolderName = "Snagreel report";
inline constexpr const char* kArchiveName = "Snagreel report.zip";
inline constexpr const char* kSharingErrorDomain = "Sharing";

// "Could not package the report and video." (domain "Sharing", code 1).
Error packagingError();
// Refusal of a destination inside the captures folder (domain "Sharing", code 2).
Error destinationInsideCapturesError();

// Makes "Snagreel-share-<UUID>" (0700) in `temporaryRoot` holding the portable
// export "Snagreel report" with its "index.html", and "Snagreel report.zip" of that
// folder (0600). Returns the ZIP's path; on failure nothing is left behind.
Result<std::filesystem::path> build(const reports::ReportStore& store,
                                    const reports::ReportExportPlan& plan,
                                    const std::filesystem::path& temporaryRoot);

// Writes a ZIP of `folder` at `archive` (0600) whose one top entry is the folder's
// name. Entries are read without following links; anything but plain files and
// folders fails the archive.
Result<void> zipFolder(const std::filesystem::path& folder, const std::filesystem::path& archive);

// Copies `source` to `destination` atomically, replacing what is there.
Result<void> copyFileAtomically(const std::filesystem::path& source,
                                const std::filesystem::path& destination);

// Whether `destination` (links resolved as far as it exists) lies inside
// `capturesRoot`.
bool isInside(const std::filesystem::path& destination, const std::filesystem::path& capturesRoot);

// Removes share folders from earlier runs in `temporaryRoot` that were last
// changed more than `maxAge` ago: only folders of ours (the exact name form, owned
// by this user, not links). Returns how many were removed.
int sweepStaleFolders(const std::filesystem::path& temporaryRoot,
                      std::chrono::seconds maxAge = std::chrono::hours(24));

// The folder that holds a package's ZIP, when it is one of ours; empty otherwise.
std::filesystem::path packageFolderOf(const std::filesystem::path& archive);

} // namespace snagreel::app::sharepackage
