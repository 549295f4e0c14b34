#include "SnagreelCore/Export/CaptureManifest.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <limits>

namespace snagreel {
namespace {

CaptureManifest sampleManifest() {
    CaptureManifest manifest;
    manifest.captureId = "0f8e2c1a-4b7d-4c2e-9a51-3d6f0b2e7c94";
    manifest.capturedAt = "2026-12-05T05:31:49Z";
    manifest.requestedSeconds = 30;
    manifest.actualSeconds = 29.5;
    manifest.endedBeforeTriggerSeconds = 0.125;
    manifest.source = CaptureSource{"display", 412, 1920, 1080};
    manifest.gaps = {CaptureGap{3.25, 4, "Screen capture dropped a frame."}};
    manifest.framesPerSecond = 15;
    manifest.encodedFrameCount = 443;
    manifest.bufferedBytes = 5242880;
    manifest.captureBackend = CaptureBackend::screenCaptureKit;
    return manifest;
}

CaptureDiagnostics sampleDiagnostics() {
    CaptureDiagnostics diagnostics;
#ifdef SNAGREEL_HAS_DIAGNOSTIC_TIMELINE
    diagnostics.environment.osVersion = "Debian 12";
    diagnostics.environment.hardwareClass = "Linux";
    diagnostics.environment.processArchitecture = "x86_64";
    diagnostics.environment.physicalMemoryBytes = 25769803776ULL;
#endif
    return diagnostics;
}

std::string encoded(const CaptureManifest& manifest) {
    auto text = encodeManifest(manifest);
    EXPECT_TRUE(text.hasValue());
    return text ? *text : std::string();
}

TEST(CaptureManifestTest, GoldenText) {
    const std::string expected = R"({
  "actualSeconds": 29.5,
  "bufferedBytes": 5242880,
  "captureBackend": "screenCaptureKit",
  "captureId": "0f8e2c1a-4b7d-4c2e-9a51-3d6f0b2e7c94",
  "capturedAt": "2026-12-05T05:31:49Z",
  "codec": "h264",
  "encodedFrameCount": 443,
  "endedBeforeTriggerSeconds": 0.125,
  "framesPerSecond": 15,
  "gaps": [
    {
      "endSeconds": 4.0,
      "reason": "Screen capture dropped a frame.",
      "startSeconds": 3.25
    }
  ],
  "networkCapture": "request capture not implemented; passive path state only",
  "requestedSeconds": 30.0,
  "selection": "Starts at the first retained keyframe at or after the requested start; ends at the last valid frame at or before the capture trigger. Warm-up, interruptions and keyframe alignment may shorten the clip.",
  "source": {
    "height": 1080,
    "id": 412,
    "kind": "display",
    "width": 1920
  },
  "v": 1
}
)";
    EXPECT_EQ(encoded(sampleManifest()), expected);
}

// Every object in the written text, at every depth, lists its members in ascending
// byte order; ordered_json keeps the order the text has.
void expectSortedKeys(const nlohmann::ordered_json& node) {
    if (node.is_object()) {
        std::string previous;
        bool first = true;
        for (const auto& [key, value] : node.items()) {
            if (!first) {
                EXPECT_LT(previous, key);
            }
            previous = key;
            first = false;
            expectSortedKeys(value);
        }
    } else if (node.is_array()) {
        for (const auto& value : node) {
            expectSortedKeys(value);
        }
    }
}

TEST(CaptureManifestTest, KeysAscendAtEveryLevelWithDiagnostics) {
    auto manifest = sampleManifest();
    manifest.diagnostics = sampleDiagnostics();
    manifest.gaps.push_back(CaptureGap{10, 11.5, "The hardware encoder dropped a frame."});
    const auto text = encoded(manifest);
    const auto ordered = nlohmann::ordered_json::parse(text);
    expectSortedKeys(ordered);

    std::vector<std::string> topLevel;
    for (const auto& [key, value] : ordered.items()) {
        topLevel.push_back(key);
    }
    const std::vector<std::string> expected{"actualSeconds",
                                            "bufferedBytes",
                                            "captureBackend",
                                            "captureId",
                                            "capturedAt",
                                            "codec",
                                            "diagnostics",
                                            "encodedFrameCount",
                                            "endedBeforeTriggerSeconds",
                                            "framesPerSecond",
                                            "gaps",
                                            "networkCapture",
                                            "requestedSeconds",
                                            "selection",
                                            "source",
                                            "v"};
    EXPECT_EQ(topLevel, expected);
}

TEST(CaptureManifestTest, EmptyGapsAreAnEmptyArray) {
    auto manifest = sampleManifest();
    manifest.gaps.clear();
    const auto text = encoded(manifest);
    EXPECT_NE(text.find("\n  \"gaps\": [],\n"), std::string::npos) << text;
}

TEST(CaptureManifestTest, RoundTripsWithAndWithoutOptionalMembers) {
    auto full = sampleManifest();
    full.diagnostics = sampleDiagnostics();
    full.captureBackend = CaptureBackend::avFoundation;

    auto bare = sampleManifest();
    bare.captureBackend.reset();
    const auto bareText = encoded(bare);
    EXPECT_EQ(bareText.find("captureBackend"), std::string::npos);
    EXPECT_EQ(bareText.find("diagnostics"), std::string::npos);

    for (const auto& manifest : {full, bare, sampleManifest()}) {
        auto decoded = decodeManifest(encoded(manifest));
        ASSERT_TRUE(decoded) << decoded.error().message;
        EXPECT_EQ(*decoded, manifest);
    }
}

// A hand-written manifest as another writer might produce it: integral numbers
// without fractions, members in any order, extra members, explicit nulls.
constexpr const char* kHandWritten = R"({
  "v": 1, "captureId": "id", "capturedAt": "2026-01-01T00:00:00Z",
  "requestedSeconds": 60, "actualSeconds": 58, "endedBeforeTriggerSeconds": 0,
  "source": {"kind": "window", "id": 9, "width": 800, "height": 600, "scale": 2},
  "gaps": [{"startSeconds": 1, "endSeconds": 2, "reason": "r"}],
  "codec": "h264", "framesPerSecond": 15, "encodedFrameCount": 870, "bufferedBytes": 1,
  "selection": "s", "networkCapture": "n", "futureMember": {"x": [1, 2]},
  "diagnostics": null
})";

TEST(CaptureManifestTest, ReadsHandWrittenManifest) {
    auto decoded = decodeManifest(kHandWritten);
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(decoded->requestedSeconds, 60);
    EXPECT_EQ(decoded->source, (CaptureSource{"window", 9, 800, 600}));
    ASSERT_EQ(decoded->gaps.size(), 1u);
    EXPECT_EQ(decoded->gaps[0], (CaptureGap{1, 2, "r"}));
    EXPECT_EQ(decoded->selection, "s");
    EXPECT_EQ(decoded->diagnostics, std::nullopt);
    EXPECT_EQ(decoded->captureBackend, std::nullopt);
}

TEST(CaptureManifestTest, ReadsBackend) {
    auto json = nlohmann::json::parse(kHandWritten);
    json["captureBackend"] = "screenCaptureKit";
    auto decoded = decodeManifestJson(json);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->captureBackend, CaptureBackend::screenCaptureKit);
}

TEST(CaptureManifestTest, RejectsBadDocuments) {
    const auto base = nlohmann::json::parse(kHandWritten);
    const char* required[] = {
        "v",
        "captureId",
        "capturedAt",
        "requestedSeconds",
        "actualSeconds",
        "endedBeforeTriggerSeconds",
        "source",
        "gaps",
        "codec",
        "framesPerSecond",
        "encodedFrameCount",
        "bufferedBytes",
        "selection",
        "networkCapture",
    };
    for (const char* key : required) {
        auto json = base;
        json.erase(key);
        EXPECT_FALSE(decodeManifestJson(json)) << "without " << key;
        json[key] = nlohmann::json::array({1});
        EXPECT_FALSE(decodeManifestJson(json)) << key << " as an array";
    }

    const std::pair<const char*, nlohmann::json> mistyped[] = {
        {"v", 1.5},
        {"captureId", 7},
        {"requestedSeconds", "60"},
        {"framesPerSecond", 15.5},
        {"bufferedBytes", -1.0},
        {"gaps", nlohmann::json::object()},
        {"gaps", nlohmann::json::array({nlohmann::json{{"startSeconds", 1}}})},
        {"source", nlohmann::json{{"kind", "display"}, {"id", -4}, {"width", 1}, {"height", 1}}},
        {"captureBackend", "x11"},
        {"captureBackend", "AVFoundation"},
        {"captureBackend", 1},
        {"diagnostics", "none"},
        {"diagnostics", nlohmann::json::array()},
    };
    for (const auto& [key, value] : mistyped) {
        auto json = base;
        json[key] = value;
        EXPECT_FALSE(decodeManifestJson(json)) << key << " = " << value.dump();
    }

    for (const char* text : {"", "[]", "null", "\"manifest\"", "{", "{\"v\": 1,}", "\xff\xfe"}) {
        auto decoded = decodeManifest(text);
        ASSERT_FALSE(decoded) << text;
        EXPECT_FALSE(decoded.error().message.empty());
    }
}

TEST(CaptureManifestTest, NonFiniteNumbersFailEncoding) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<CaptureManifest> manifests(3, sampleManifest());
    manifests[0].actualSeconds = nan;
    manifests[1].requestedSeconds = -inf;
    manifests[2].gaps[0].endSeconds = inf;
#ifdef SNAGREEL_HAS_DIAGNOSTIC_TIMELINE
    manifests.push_back(sampleManifest());
    manifests.back().diagnostics = sampleDiagnostics();
    manifests.back().diagnostics->networkPath.samples.push_back(NetworkPathSample{});
    manifests.back().diagnostics->networkPath.samples.back().atSeconds = nan;
#endif
    for (const auto& manifest : manifests) {
        auto text = encodeManifest(manifest);
        EXPECT_FALSE(text);
        if (!text) {
            EXPECT_FALSE(text.error().message.empty());
        }
    }
}

} // namespace
} // namespace snagreel
