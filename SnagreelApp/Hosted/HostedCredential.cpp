#include "SnagreelApp/Hosted/HostedCredential.hpp"

#include "SnagreelCore/Support/Json.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>

namespace snagreel::app {

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to a proleptic Gregorian date.
long long daysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153LL * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int daysInMonth(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

} // namespace

double hostedNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::optional<double> parseInternetDateTime(std::string_view t) {
    int year, month, day, hour, minute, second;
    if (!digits(t, 0, 4, year) || t.size() < 19 || t[4] != '-' || !digits(t, 5, 2, month) ||
        t[7] != '-' || !digits(t, 8, 2, day) || (t[10] != 'T' && t[10] != 't') ||
        !digits(t, 11, 2, hour) || t[13] != ':' || !digits(t, 14, 2, minute) || t[16] != ':' ||
        !digits(t, 17, 2, second)) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 60) {
        return std::nullopt;
    }
    std::size_t at = 19;
    double fraction = 0;
    if (at < t.size() && t[at] == '.') {
        ++at;
        double scale = 0.1;
        const std::size_t start = at;
        while (at < t.size() && t[at] >= '0' && t[at] <= '9') {
            fraction += (t[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == start) {
            return std::nullopt;
        }
    }
    if (at >= t.size()) {
        return std::nullopt; // no zone: local time is not an instant
    }
    int offset = 0;
    if (t[at] == 'Z' || t[at] == 'z') {
        ++at;
    } else if (t[at] == '+' || t[at] == '-') {
        int oh, om;
        if (!digits(t, at + 1, 2, oh) || at + 3 >= t.size() || t[at + 3] != ':' ||
            !digits(t, at + 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offset = (oh * 60 + om) * 60 * (t[at] == '-' ? -1 : 1);
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != t.size()) {
        return std::nullopt;
    }
    const double seconds = static_cast<double>(daysFromCivil(year, month, day)) * 86400.0 +
                           hour * 3600.0 + minute * 60.0 + second - offset;
    return seconds + fraction;
}

std::string formatInternetDateTime(double seconds) {
    const double whole = std::floor(seconds);
    const auto millis = static_cast<int>(std::lround((seconds - whole) * 1000.0)) % 1000;
    const auto time = static_cast<std::time_t>(whole);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

std::string HostedCredential::toJson() const {
    const nlohmann::json object = {{"accessToken", accessToken},
                                   {"expiresAt", expiresAt - kReferenceDateOffset},
                                   {"approved", approved}};
    auto text = dumpJson(object);
    return text ? *text : std::string();
}

std::optional<HostedCredential> HostedCredential::fromJson(std::string_view text) {
    auto json = parseJson(text);
    if (!json || !json->is_object()) {
        return std::nullopt;
    }
    auto token = jsonread::readString(*json, "accessToken");
    auto expires = jsonread::readDouble(*json, "expiresAt");
    auto approved = jsonread::member(*json, "approved");
    if (!token || !expires || !approved || !(*approved)->is_boolean()) {
        return std::nullopt;
    }
    return HostedCredential{*token, *expires + kReferenceDateOffset, (*approved)->get<bool>()};
}

} // namespace snagreel::app
