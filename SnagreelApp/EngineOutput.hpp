#pragma once

#include <QList>
#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace snagreel::app {

// Turns an engine's merged output, arriving in arbitrary chunks, into lines: a line
// ends at "\n" or "\r" (progress bars redraw with "\r"), a UTF-8 sequence split
// between two chunks is decoded whole, and invalid bytes become U+FFFD.
class EngineOutputLines {
public:
    static constexpr std::size_t kMaximumPending = 64 * 1024;

    // The last non-empty line this chunk completed; "Processing…" when it completed
    // only empty lines; none when it completed no line.
    std::optional<QString> append(std::string_view bytes);
    // At the end of the output: the unterminated rest, when it is not empty.
    std::optional<QString> finish();

private:
    std::string pending_;
};

// The last `count` characters (code points) of `text`.
QString lastCharacters(const QString& text, qsizetype count);

} // namespace snagreel::app
