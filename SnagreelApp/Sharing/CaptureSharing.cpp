#include "SnagreelApp/Sharing/CaptureSharing.hpp"

#include "SnagreelApp/Sharing/SharePackage.hpp"
#include "SnagreelCore/Linux/PrivateFiles.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QThreadPool>

#include <memory>
#include <system_error>

namespace snagreel::app {

namespace fs = std::filesystem;

namespace {

// Runs `work` on the thread pool and hands its result to `done` on the main
// thread, unless `context` is gone by then.
template <typename T>
void inBackground(QObject* context, std::function<T()> work, std::function<void(T)> done) {
    QPointer<QObject> guard(context);
    QThreadPool::globalInstance()->start(
        [guard, work = std::move(work), done = std::move(done)]() mutable {
            auto result = std::make_shared<T>(work());
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [guard, result, done = std::move(done)] {
                    if (guard && done) {
                        done(std::move(*result));
                    }
                },
                Qt::QueuedConnection);
        });
}

Error withPrefix(const char* prefix, const Error& error) {
    PlatformError form = error.platformForm();
    form.message = prefix + form.message;
    return Error(std::move(form));
}

} // namespace

CaptureSharing::CaptureSharing(Services services, fs::path temporaryRoot, fs::path capturesRoot,
                               QObject* parent)
    : QObject(parent), services_(services), temporaryRoot_(std::move(temporaryRoot)),
      capturesRoot_(std::move(capturesRoot)) {
    // Shared packages are left for whoever receives them, so nothing else ever
    // removes them.
    QThreadPool::globalInstance()->start(
        [root = temporaryRoot_] { sharepackage::sweepStaleFolders(root); });
}

fs::path CaptureSharing::defaultTemporaryRoot() {
    return QDir::tempPath().toStdString();
}

SaveDialogRequest CaptureSharing::saveReportRequest() {
    return {sharingmessages::kSaveReportTitle,
            sharingmessages::kSaveReportName,
            {"ZIP archive (*.zip)"},
            true};
}

SaveDialogRequest CaptureSharing::saveVideoRequest(const std::string& captureID) {
    return {sharingmessages::kSaveVideoTitle,
            "Snagreel-" + captureID.substr(0, 8) + ".mp4",
            {"MPEG-4 video (*.mp4)"},
            true};
}

void CaptureSharing::buildPackage(reports::ReportStore store, reports::ReportExportPlan plan,
                                  std::function<void(Result<fs::path>)> done) {
    inBackground<Result<fs::path>>(
        this,
        [store = std::move(store), plan = std::move(plan),
         root = temporaryRoot_]() -> Result<fs::path> {
            sharepackage::sweepStaleFolders(root);
            return sharepackage::build(store, plan, root);
        },
        std::move(done));
}

std::string CaptureSharing::handOver(const fs::path& archive) {
    if (services_.fileManager) {
        services_.fileManager->revealFile(archive);
    }
    if (services_.clipboard) {
        services_.clipboard->setText(archive.string());
    }
    return sharingmessages::kShared;
}

void CaptureSharing::saveCopy(const fs::path& archive, const fs::path& destination,
                              std::function<void(Result<void>)> done) {
    inBackground<Result<void>>(
        this,
        [archive, destination, root = capturesRoot_]() -> Result<void> {
            Result<void> copied;
            if (sharepackage::isInside(destination, root)) {
                copied = Unexpected{sharepackage::destinationInsideCapturesError()};
            } else {
                copied = sharepackage::copyFileAtomically(archive, destination);
            }
            if (fs::path folder = sharepackage::packageFolderOf(archive); !folder.empty()) {
                removeDirectory(folder);
            }
            return copied;
        },
        std::move(done));
}

void CaptureSharing::saveVideo(const fs::path& clip, const fs::path& destination,
                               std::function<void(Result<bool>)> done) {
    inBackground<Result<bool>>(
        this,
        [clip, destination, root = capturesRoot_]() -> Result<bool> {
            std::error_code chosenError, ownError;
            const fs::path chosen = fs::weakly_canonical(fs::absolute(destination), chosenError);
            const fs::path own = fs::weakly_canonical(fs::absolute(clip), ownError);
            if (!chosenError && !ownError && chosen == own) {
                return false;
            }
            // Anywhere else in the captures folder could be another capture's clip.
            if (sharepackage::isInside(destination, root)) {
                return Unexpected{sharepackage::destinationInsideCapturesError()};
            }
            if (auto copied = sharepackage::copyFileAtomically(clip, destination); !copied) {
                return Unexpected{copied.error()};
            }
            return true;
        },
        std::move(done));
}

void CaptureSharing::revealFile(const fs::path& file) {
    if (services_.fileManager) {
        services_.fileManager->revealFile(file);
    }
}

Result<void> CaptureSharing::openCapturesFolder() {
    std::error_code error;
    if (!fs::is_directory(capturesRoot_, error)) {
        if (auto created = createPrivateDirectory(capturesRoot_); !created) {
            return Unexpected{withPrefix(sharingmessages::kOpenFolderFailed, created.error())};
        }
    }
    if (!services_.fileManager || !services_.fileManager->openFolder(capturesRoot_)) {
        return Unexpected{Error(PlatformError{sharepackage::kSharingErrorDomain, 3,
                                              sharingmessages::kOpenFolderRefused})};
    }
    return {};
}

void CaptureSharing::moveToTrash(const fs::path& captureFolder,
                                 std::function<void(Result<void>)> done) {
    Trash* trash = services_.trash;
    inBackground<Result<void>>(
        this,
        [trash, captureFolder]() -> Result<void> {
            if (!trash) {
                return Unexpected{Error::posix(ENOTSUP)};
            }
            return trash->moveToTrash(captureFolder);
        },
        std::move(done));
}

} // namespace snagreel::app
