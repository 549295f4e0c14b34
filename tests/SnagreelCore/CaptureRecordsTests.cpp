#include "SnagreelCore/Capture/CaptureRecords.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <limits>

namespace snagreel {
namespace {

nlohmann::json parsed(std::string_view text) {
    auto result = parseJson(text);
    EXPECT_TRUE(result.hasValue()) << text;
    return result ? *result : nlohmann::json();
}

TEST(CaptureRecordsTest, ConfigurationDefaults) {
    const CaptureConfiguration configuration;
    EXPECT_EQ(configuration.windowID, std::nullopt);
    EXPECT_EQ(configuration.maximumDuration, 60);
    EXPECT_EQ(configuration.maximumBytes, 128 * 1024 * 1024);
    EXPECT_EQ(configuration.maximumWidth, 1920);
    EXPECT_EQ(configuration.framesPerSecond, 15);
    EXPECT_EQ(configuration.backend, CaptureBackend::avFoundation);
}

TEST(CaptureRecordsTest, BackendRawValues) {
    EXPECT_EQ(rawValue(CaptureBackend::screenCaptureKit), "screenCaptureKit");
    EXPECT_EQ(rawValue(CaptureBackend::avFoundation), "avFoundation");
    for (auto backend : {CaptureBackend::screenCaptureKit, CaptureBackend::avFoundation}) {
        auto decoded = decodeCaptureBackend(toJson(backend));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, backend);
    }
    for (const char* text : {R"("ScreenCaptureKit")", R"("avfoundation")", R"("")", R"("x11")", "1",
                             "null", R"(["avFoundation"])"}) {
        EXPECT_FALSE(decodeCaptureBackend(parsed(text))) << text;
    }
}

TEST(CaptureRecordsTest, SourceRoundTripsWithSortedKeys) {
    const CaptureSource source{"display", std::numeric_limits<std::uint32_t>::max(), 1920, 1080};
    const auto json = toJson(source);
    EXPECT_EQ(json.dump(), R"({"height":1080,"id":4294967295,"kind":"display","width":1920})");
    auto decoded = decodeCaptureSource(json);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, source);

    // Through text as well, where nlohmann re-types the numbers.
    auto reread = decodeCaptureSource(parsed(json.dump()));
    ASSERT_TRUE(reread);
    EXPECT_EQ(*reread, source);
}

TEST(CaptureRecordsTest, GapRoundTripsWithSortedKeys) {
    const CaptureGap gap{1.25, 2.5, "Screen capture dropped a frame."};
    const auto json = toJson(gap);
    EXPECT_EQ(
        json.dump(),
        R"({"endSeconds":2.5,"reason":"Screen capture dropped a frame.","startSeconds":1.25})");
    auto decoded = decodeCaptureGap(parsed(json.dump()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, gap);
}

TEST(CaptureRecordsTest, GapAcceptsIntegralNumbersAndIgnoresUnknownMembers) {
    auto decoded =
        decodeCaptureGap(parsed(R"({"startSeconds":3,"endSeconds":4e0,"reason":"r","x":[1]})"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (CaptureGap{3, 4, "r"}));
}

TEST(CaptureRecordsTest, SourceRejectsMissingAndMistypedMembers) {
    const char* valid = R"({"kind":"window","id":7,"width":640,"height":480})";
    ASSERT_TRUE(decodeCaptureSource(parsed(valid)));
    for (const char* text : {
             R"({"id":7,"width":640,"height":480})",
             R"({"kind":"window","width":640,"height":480})",
             R"({"kind":"window","id":7,"height":480})",
             R"({"kind":"window","id":7,"width":640})",
             R"({"kind":3,"id":7,"width":640,"height":480})",
             R"({"kind":"window","id":-1,"width":640,"height":480})",
             R"({"kind":"window","id":4294967296,"width":640,"height":480})",
             R"({"kind":"window","id":7.5,"width":640,"height":480})",
             R"({"kind":"window","id":"7","width":640,"height":480})",
             R"({"kind":"window","id":7,"width":640.5,"height":480})",
             R"({"kind":"window","id":7,"width":640.0,"height":480})",
             R"({"kind":"window","id":7,"width":true,"height":480})",
             R"({"kind":"window","id":7,"width":640,"height":9223372036854775808})",
             R"({"kind":"window","id":7,"width":640,"height":null})",
             R"([{"kind":"window","id":7,"width":640,"height":480}])",
             R"("display")",
         }) {
        auto decoded = decodeCaptureSource(parsed(text));
        EXPECT_FALSE(decoded) << text;
        if (!decoded) {
            EXPECT_FALSE(decoded.error().message.empty());
        }
    }
}

TEST(CaptureRecordsTest, SourceKeepsInt64Extremes) {
    auto decoded = decodeCaptureSource(parsed(
        R"({"kind":"display","id":0,"width":9223372036854775807,"height":-9223372036854775808})"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(decoded->height, std::numeric_limits<std::int64_t>::min());
}

TEST(CaptureRecordsTest, GapRejectsMissingAndMistypedMembers) {
    for (const char* text : {
             R"({"endSeconds":2,"reason":"r"})",
             R"({"startSeconds":1,"reason":"r"})",
             R"({"startSeconds":1,"endSeconds":2})",
             R"({"startSeconds":"1","endSeconds":2,"reason":"r"})",
             R"({"startSeconds":1,"endSeconds":null,"reason":"r"})",
             R"({"startSeconds":1,"endSeconds":2,"reason":5})",
             R"({"startSeconds":1,"endSeconds":2,"reason":null})",
             R"([1,2,"r"])",
         }) {
        EXPECT_FALSE(decodeCaptureGap(parsed(text))) << text;
    }
    // The parser refuses overflowing literals; a tree built in code can still hold one.
    EXPECT_FALSE(parseJson(R"({"startSeconds":1e999})"));
    EXPECT_FALSE(
        decodeCaptureGap(toJson(CaptureGap{std::numeric_limits<double>::infinity(), 2, "r"})));
}

TEST(CaptureRecordsTest, NonFiniteGapCannotBeWritten) {
    for (double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity()}) {
        const auto json = toJson(CaptureGap{0, bad, "r"});
        EXPECT_FALSE(checkEncodable(json));
        EXPECT_FALSE(dumpJson(json));
        // Nested inside other structures as well.
        EXPECT_FALSE(dumpJson(nlohmann::json{{"gaps", nlohmann::json::array({json})}}, 2));
    }
    auto written = dumpJson(toJson(CaptureGap{0, 1, "r"}));
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, R"({"endSeconds":1.0,"reason":"r","startSeconds":0.0})");
}

TEST(CaptureRecordsTest, InvalidUtf8CannotBeWritten) {
    EXPECT_FALSE(dumpJson(toJson(CaptureGap{0, 1, "bad \xff byte"})));
}

TEST(CaptureRecordsTest, MalformedDocumentsFailToParse) {
    for (const char* text : {"", "{", R"({"a":})", "[1,]", "nul", "\xff"}) {
        EXPECT_FALSE(parseJson(text)) << text;
    }
}

} // namespace
} // namespace snagreel
