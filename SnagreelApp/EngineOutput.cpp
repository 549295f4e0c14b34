#include "SnagreelApp/EngineOutput.hpp"

namespace snagreel::app {

namespace {

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

} // namespace

std::optional<QString> EngineOutputLines::append(std::string_view bytes) {
    std::optional<QString> last;
    bool completed = false;
    for (char byte : bytes) {
        if (byte == '\n' || byte == '\r') {
            completed = true;
            if (!pending_.empty()) {
                last = QString::fromUtf8(pending_.data(), static_cast<qsizetype>(pending_.size()));
                pending_.clear();
            }
            continue;
        }
        pending_.push_back(byte);
    }
    if (pending_.size() > kMaximumPending) {
        // Only a line's end is ever shown; keep its tail, starting on a character.
        std::size_t cut = pending_.size() - kMaximumPending / 2;
        while (cut < pending_.size() && isContinuationByte(pending_[cut])) {
            ++cut;
        }
        pending_.erase(0, cut);
    }
    if (!last && completed) {
        return QStringLiteral("Processing…");
    }
    return last;
}

std::optional<QString> EngineOutputLines::finish() {
    if (pending_.empty()) {
        return std::nullopt;
    }
    QString line = QString::fromUtf8(pending_.data(), static_cast<qsizetype>(pending_.size()));
    pending_.clear();
    return line;
}

QString lastCharacters(const QString& text, qsizetype count) {
    const QList<uint> codePoints = text.toUcs4();
    if (codePoints.size() <= count) {
        return text;
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(codePoints.constData()) +
                                 (codePoints.size() - count),
                             count);
}

} // namespace snagreel::app
