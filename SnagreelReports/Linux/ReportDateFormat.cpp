#include "SnagreelReports/ReportDocument.hpp"

#include <unicode/udat.h>
#include <unicode/ustring.h>

#include <array>
#include <memory>

namespace snagreel::reports {

std::string formatReportDate(ReportDate date) {
    const double millis = static_cast<double>(
        std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count());
    UErrorCode status = U_ZERO_ERROR;
    // Null locale and zone: ICU's defaults, taken from the user's environment.
    std::unique_ptr<UDateFormat, void (*)(UDateFormat*)> format(
        udat_open(UDAT_MEDIUM, UDAT_MEDIUM, nullptr, nullptr, 0, nullptr, 0, &status), udat_close);
    if (U_FAILURE(status) || !format) {
        return {};
    }
    std::array<UChar, 256> wide{};
    const int32_t length =
        udat_format(format.get(), millis, wide.data(), wide.size(), nullptr, &status);
    if (U_FAILURE(status)) {
        return {};
    }
    std::array<char, 1024> utf8{};
    int32_t written = 0;
    u_strToUTF8(utf8.data(), utf8.size(), &written, wide.data(), length, &status);
    if (U_FAILURE(status)) {
        return {};
    }
    return std::string(utf8.data(), static_cast<std::size_t>(written));
}

} // namespace snagreel::reports
