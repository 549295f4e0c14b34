#pragma once

// Shared by the hosted service tests: waiting for a client's completion, a
// credential store in memory, and real H.264 clips made with ffmpeg.

#include "SnagreelApp/Hosted/HostedCredential.hpp"
#include "SnagreelApp/Hosted/HostedErrors.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace snagreel::testing {

// Runs the event loop until the completion arrives. The deadline only keeps a
// broken build from hanging the suite; it asserts nothing about speed.
template <typename T>
std::optional<Result<T>> awaitResult(const std::function<void(Completion<T>)>& start) {
    std::optional<Result<T>> result;
    start([&result](Result<T> value) { result.emplace(std::move(value)); });
    QDeadlineTimer deadline(120000);
    while (!result && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return result;
}

// The service case of a failed result, for comparisons.
inline std::optional<app::HostedServiceError::Case> serviceCase(const Error& error) {
    const auto* hosted = error.as<app::HostedServiceError>();
    return hosted ? std::optional(hosted->kind) : std::nullopt;
}
inline std::optional<app::HostedVideoError::Case> videoCase(const Error& error) {
    const auto* video = error.as<app::HostedVideoError>();
    return video ? std::optional(video->kind) : std::nullopt;
}

// The credential store seam, in memory; `failLoads` makes loads fail as a
// damaged keyring item does.
class MemoryCredentialStore final : public app::HostedCredentialStore {
public:
    Result<std::optional<app::HostedCredential>> load() override {
        std::lock_guard lock(mutex_);
        if (failLoads_) {
            return Unexpected{
                Error(app::HostedKeyringError{app::HostedKeyringError::kDecodeStatus})};
        }
        return credential_;
    }
    Result<void> save(const app::HostedCredential& credential) override {
        std::lock_guard lock(mutex_);
        credential_ = credential;
        failLoads_ = false;
        return {};
    }
    Result<void> remove() override {
        std::lock_guard lock(mutex_);
        credential_.reset();
        failLoads_ = false;
        return {};
    }
    std::optional<app::HostedCredential> current() {
        std::lock_guard lock(mutex_);
        return credential_;
    }
    void set(std::optional<app::HostedCredential> credential, bool failLoads = false) {
        std::lock_guard lock(mutex_);
        credential_ = std::move(credential);
        failLoads_ = failLoads;
    }

private:
    std::mutex mutex_;
    std::optional<app::HostedCredential> credential_;
    bool failLoads_ = false;
};

// Encodes `seconds` of a lavfi source with ffmpeg into `path`; extra output
// options (codec, colour tags) go after the defaults. False when ffmpeg fails.
bool makeClip(const std::filesystem::path& path, const std::string& source, double seconds,
              const std::string& outputOptions = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");

// A capture directory: "clip.mp4" of `seconds` and a manifest with a new id.
std::string makeCaptureDirectory(const std::filesystem::path& directory, double seconds = 2.0);

std::string fileSha256(const std::filesystem::path& path);

} // namespace snagreel::testing
