#pragma once

#include "SnagreelApp/Sharing/DesktopServices.hpp"
#include "SnagreelCore/Support/Error.hpp"
#include "SnagreelReports/ReportExport.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <QObject>

#include <filesystem>
#include <functional>
#include <string>

namespace snagreel::app {

namespace sharingmessages {
inline constexpr const char* kPrepareFailed = "Could not prepare sharing: ";
inline constexpr const char* kSaveCopyFailed = "Could not save the shared copy: ";
inline constexpr const char* kSaveVideoFailed = "Could not save the video: ";
inline constexpr const char* kOpenFolderFailed = "Could not open the clips folder: ";
inline constexpr const char* kOpenFolderRefused = "Could not open the clips folder.";
inline constexpr const char* kSavedPackage = "Saved report and video. Unzip and open index.html.";
inline constexpr const char* kVideoSaved = "Video saved.";
inline constexpr const char* kMovedToTrash = "Capture moved to Trash.";
inline constexpr const char* kShared =
    "Snagreel report.zip is shown in Files and its path is copied to the clipboard.";
inline constexpr const char* kInsideCaptures =
    "Choose a place outside the Snagreel captures folder.";
inline constexpr const char* kSaveReportTitle = "Save report and video";
inline constexpr const char* kSaveReportName = "Snagreel-report.zip";
inline constexpr const char* kSaveVideoTitle = "Save video";
} // namespace sharingmessages

// The work behind sharing, saving and discarding captures. The caller (the
// application state) keeps the guards and the user-visible state; this runs the
// disk work on the thread pool and calls `done` back on the main thread, unless
// this object is gone by then.
class CaptureSharing : public QObject {
    Q_OBJECT
public:
    struct Services {
        SaveDialogs* dialogs = nullptr;
        FileManager* fileManager = nullptr;
        Trash* trash = nullptr;
        Clipboard* clipboard = nullptr;
    };

    // `temporaryRoot`: where packages are built (the user's temporary folder);
    // `capturesRoot`: no copy is ever written inside it. Share folders left by
    // earlier runs are swept from `temporaryRoot` in the background.
    CaptureSharing(Services services, std::filesystem::path temporaryRoot,
                   std::filesystem::path capturesRoot, QObject* parent = nullptr);

    // The user's temporary folder ($TMPDIR, else /tmp): packages are built there.
    static std::filesystem::path defaultTemporaryRoot();

    // Save dialog requests for the two save operations.
    static SaveDialogRequest saveReportRequest();
    static SaveDialogRequest saveVideoRequest(const std::string& captureID);

    // Builds the package; `done` gets the ZIP's path.
    void buildPackage(reports::ReportStore store, reports::ReportExportPlan plan,
                      std::function<void(Result<std::filesystem::path>)> done);

    // Shows the ZIP in the file manager and puts its path on the clipboard; returns
    // the message that says so.
    std::string handOver(const std::filesystem::path& archive);

    // Copies the ZIP to `destination` and removes the package folder either way.
    void saveCopy(const std::filesystem::path& archive, const std::filesystem::path& destination,
                  std::function<void(Result<void>)> done);

    // Copies a capture's "clip.mp4" to `destination`. `done` gets false when
    // nothing was done because the destination is the clip itself.
    void saveVideo(const std::filesystem::path& clip, const std::filesystem::path& destination,
                   std::function<void(Result<bool>)> done);

    void revealFile(const std::filesystem::path& file);
    // Creates the captures folder if needed and opens it; the failure's text is
    // the one the user sees.
    Result<void> openCapturesFolder();

    void moveToTrash(const std::filesystem::path& captureFolder,
                     std::function<void(Result<void>)> done);

private:
    Services services_;
    std::filesystem::path temporaryRoot_;
    std::filesystem::path capturesRoot_;
};

} // namespace snagreel::app
