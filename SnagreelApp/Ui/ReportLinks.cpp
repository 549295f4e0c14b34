#include "SnagreelApp/Ui/ReportLinks.hpp"

#include "SnagreelReports/ReportPresentation.hpp"
#include "SnagreelReports/ReportStore.hpp"

#include <array>
#include <optional>
#include <string>

namespace snagreel::app::reportlink {
namespace {

constexpr std::array kImageExtensions{"png", "jpg", "jpeg", "webp", "gif"};

// The capture-relative path a link names, or nothing when it names a place
// outside the capture. Relative links are relative to the capture; file links
// must lie under it (as written or as the store resolved it).
std::optional<std::string> relativePath(const QUrl& link, const reports::ReportStore& store,
                                        const std::filesystem::path& captureDirectory) {
    if (link.isRelative() && link.host().isEmpty()) {
        std::string path = link.path().toStdString();
        if (path.starts_with("./"))
            path.erase(0, 2);
        return path;
    }
    if (!link.isLocalFile())
        return std::nullopt;
    const std::string path = link.toLocalFile().toStdString();
    for (const auto& base :
         {captureDirectory.lexically_normal().string(), store.captureURL().string()}) {
        const std::string prefix = base.ends_with('/') ? base : base + "/";
        if (path.starts_with(prefix))
            return path.substr(prefix.size());
    }
    return std::nullopt;
}

bool isImage(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    const QString extension = QString::fromStdString(name.substr(dot + 1)).toLower();
    for (const char* allowed : kImageExtensions)
        if (extension == QLatin1String(allowed))
            return true;
    return false;
}

} // namespace

Action classify(const QUrl& link, const std::filesystem::path& captureDirectory) {
    const QString scheme = link.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        return link.host().isEmpty() ? Action{Discard{}} : Action{OpenWeb{link}};
    if (!link.isRelative() && !link.isLocalFile())
        return Discard{};
    if (captureDirectory.empty())
        return Discard{};
    auto store = reports::ReportStore::create(captureDirectory);
    if (!store)
        return Discard{};
    const auto relative = relativePath(link, *store, captureDirectory);
    if (!relative)
        return Discard{};
    const auto pieces = reports::capturePathPieces(*relative);
    if (!pieces)
        return Discard{};
    if (pieces->size() == 1 && pieces->front() == "clip.mp4") {
        const auto seconds =
            ReportPresentation::clipSeekSeconds(link.fragment(QUrl::FullyDecoded).toStdString());
        return seconds ? Action{Seek{*seconds}} : Action{Discard{}};
    }
    if (pieces->size() < 2 || pieces->front() != "evidence" || !isImage(pieces->back()))
        return Discard{};
    auto checked = store->checkedPath(*relative, false);
    if (!checked)
        return Discard{};
    return OpenFile{*checked};
}

} // namespace snagreel::app::reportlink
