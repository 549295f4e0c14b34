#pragma once

#include <QString>
#include <QUrl>

#include <filesystem>
#include <variant>

namespace snagreel::app {

// What clicking a link inside a report preview does. Links come from engine
// output, so nothing here trusts a path until the report store has walked it.
namespace reportlink {

struct Seek {
    double seconds = 0; // into the capture's clip
};
struct OpenFile {
    std::filesystem::path path; // an image under the capture's evidence folder
};
struct OpenWeb {
    QUrl url; // http or https with a host
};
struct Discard {};

using Action = std::variant<Seek, OpenFile, OpenWeb, Discard>;

// `captureDirectory` is the selected capture; relative links are read against it.
// An evidence link is opened only when every piece of its path is a real
// directory or (last) a regular file inside the capture, never through a
// symbolic link or "..": a plain prefix test on the path would let either
// escape the capture.
Action classify(const QUrl& link, const std::filesystem::path& captureDirectory);

} // namespace reportlink
} // namespace snagreel::app
