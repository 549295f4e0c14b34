#include "SnagreelCore/Diagnostics/DiagnosticTimeline.hpp"
#include "SnagreelCore/Export/CaptureBundleWriter.hpp"
#include "SnagreelCore/Export/CaptureManifest.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <limits>

namespace snagreel {
namespace {

using nlohmann::json;
using Interface = NetworkPathState::Interface;
using Status = NetworkPathState::Status;
using Thermal = SystemState::Thermal;

// A manifest as the bundle writer makes it, with every kind of member: a gap, an
// identifier at the top of its range, diagnostics with optional members present
// and absent.
CaptureManifest goldenManifest() {
    auto format = std::make_shared<CodecParameters>();
    CaptureSnapshot snapshot;
    for (int i = 0; i < 3; ++i) {
        EncodedFrame frame;
        frame.timestamp = 100.5 + i * 0.5;
        frame.byteCount = 1000 + i;
        frame.payload.format = format;
        snapshot.frames.push_back(frame);
    }
    snapshot.end = 102.25;
    snapshot.endedBeforeTrigger = 0.75;
    snapshot.source =
        CaptureSource{"display", std::numeric_limits<std::uint32_t>::max(), 1280, 720};
    snapshot.gaps = {CaptureGap{0.25, 0.75, "Screen capture dropped a frame."}};

    DiagnosticsBuffer buffer(60, 127);
    buffer.start(0, SystemState{std::nullopt, Thermal::fair});
    buffer.network.record(
        NetworkPathState{Status::satisfied, {Interface::wifi, Interface::loopback}, true, false},
        1);
    buffer.network.record(NetworkPathState::unknown(), 2);
    DiagnosticEnvironment environment;
    environment.osVersion = "6.1.0";
    environment.appVersion = "0.1.0";
    environment.appBuild = "1";
    environment.hardwareClass = "Linux";
    environment.hardwareModel = "X1";
    environment.processArchitecture = "x86_64";
    environment.physicalMemoryBytes = 25769803776ull;
    snapshot.diagnostics = buffer.snapshot(0, 3, environment);

    const auto at = std::chrono::system_clock::time_point(std::chrono::seconds(1796448709)) +
                    std::chrono::milliseconds(999);
    return makeCaptureManifest(snapshot, 30, at, CaptureConfiguration{},
                               "0f8e2c1a-4b7d-4c2e-9a51-3d6f0b2e7c94");
}

// capturedAt is the request time cut to whole seconds; actualSeconds runs from the
// first frame to the snapshot end, not to the last frame; keys ascend at every level.
constexpr const char* kGoldenText = R"GOLDEN({
  "actualSeconds": 1.75,
  "bufferedBytes": 3003,
  "captureBackend": "avFoundation",
  "captureId": "0f8e2c1a-4b7d-4c2e-9a51-3d6f0b2e7c94",
  "capturedAt": "2026-12-05T05:31:49Z",
  "codec": "h264",
  "diagnostics": {
    "environment": {
      "appBuild": "1",
      "appVersion": "0.1.0",
      "hardwareClass": "Linux",
      "hardwareModel": "X1",
      "osVersion": "6.1.0",
      "physicalMemoryBytes": 25769803776,
      "processArchitecture": "x86_64"
    },
    "networkPath": {
      "historyTruncated": false,
      "samples": [
        {
          "atSeconds": 0.0,
          "interfaceTypes": [],
          "status": "unknown"
        },
        {
          "atSeconds": 1.0,
          "interfaceTypes": [
            "wifi",
            "loopback"
          ],
          "isConstrained": false,
          "isExpensive": true,
          "observedAtSeconds": 1.0,
          "status": "satisfied"
        },
        {
          "atSeconds": 2.0,
          "interfaceTypes": [],
          "status": "unknown"
        }
      ]
    },
    "systemState": {
      "historyTruncated": false,
      "samples": [
        {
          "atSeconds": 0.0,
          "observedAtSeconds": 0.0,
          "thermalState": "fair"
        }
      ]
    },
    "timeReference": "clip",
    "v": 1
  },
  "encodedFrameCount": 3,
  "endedBeforeTriggerSeconds": 0.75,
  "framesPerSecond": 15,
  "gaps": [
    {
      "endSeconds": 0.75,
      "reason": "Screen capture dropped a frame.",
      "startSeconds": 0.25
    }
  ],
  "networkCapture": "request capture not implemented; passive path state only",
  "requestedSeconds": 30.0,
  "selection": "Starts at the first retained keyframe at or after the requested start; ends at the last valid frame at or before the capture trigger. Warm-up, interruptions and keyframe alignment may shorten the clip.",
  "source": {
    "height": 720,
    "id": 4294967295,
    "kind": "display",
    "width": 1280
  },
  "v": 1
}
)GOLDEN";

TEST(CaptureManifestTest, GoldenTextRoundTrips) {
    const CaptureManifest manifest = goldenManifest();
    auto text = encodeManifest(manifest);
    ASSERT_TRUE(text) << text.error().message;
    EXPECT_EQ(*text, kGoldenText);
    auto decoded = decodeManifest(*text);
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(*decoded, manifest);

    // Without the optional members they are left out, not written as null.
    CaptureManifest bare = manifest;
    bare.diagnostics.reset();
    bare.captureBackend.reset();
    bare.gaps.clear();
    auto bareText = encodeManifest(bare);
    ASSERT_TRUE(bareText);
    EXPECT_EQ(bareText->find("diagnostics"), std::string::npos);
    EXPECT_EQ(bareText->find("captureBackend"), std::string::npos);
    EXPECT_NE(bareText->find("\n  \"gaps\": [],\n"), std::string::npos);
    EXPECT_EQ(*decodeManifest(*bareText), bare);
}

// Another writer may use integral numbers without fractions, any member order, extra
// members and explicit nulls for optional ones.
TEST(CaptureManifestTest, ReadsWhatAnotherWriterMayProduce) {
    json document = json::parse(kGoldenText);
    document["requestedSeconds"] = 60;
    document["gaps"][0] = {{"startSeconds", 1}, {"endSeconds", 2}, {"reason", "r"}, {"x", 1}};
    document["source"]["scale"] = 2;
    document["futureMember"] = {{"x", {1, 2}}};
    document["diagnostics"]["systemState"]["samples"][0]["lowPowerMode"] = nullptr;
    auto decoded = decodeManifestJson(document);
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(decoded->requestedSeconds, 60);
    EXPECT_EQ(decoded->gaps[0], (CaptureGap{1, 2, "r"}));
    EXPECT_EQ(decoded->diagnostics->systemState.samples[0].lowPowerMode, std::nullopt);

    document["diagnostics"] = nullptr;
    document["captureBackend"] = nullptr;
    decoded = decodeManifestJson(document);
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(decoded->diagnostics, std::nullopt);
    EXPECT_EQ(decoded->captureBackend, std::nullopt);
}

TEST(CaptureManifestTest, RejectsMissingAndMistypedMembersAtEveryLevel) {
    const json golden = json::parse(kGoldenText);
    struct Case {
        const char* pointer;
        std::optional<json> replacement; // absent: remove the member
    };
    const Case cases[] = {
        {"/v", std::nullopt},
        {"/v", json(1.5)},
        {"/captureId", json(7)},
        {"/capturedAt", std::nullopt},
        {"/requestedSeconds", json("60")},
        {"/framesPerSecond", json(15.5)},
        {"/bufferedBytes", json(-1.0)},
        {"/selection", json::array({1})},
        {"/captureBackend", json("x11")},
        {"/captureBackend", json("AVFoundation")},
        {"/source/kind", json(3)},
        {"/source/id", json(-1)},
        {"/source/id", json(4294967296)},
        {"/source/id", json("7")},
        {"/source/width", json(640.0)},
        {"/source/height", json(9223372036854775808ull)},
        {"/source", json("display")},
        {"/gaps", json::object()},
        {"/gaps/0/startSeconds", std::nullopt},
        {"/gaps/0/endSeconds", json(nullptr)},
        {"/gaps/0/reason", json(5)},
        {"/diagnostics", json("none")},
        {"/diagnostics/v", json(2)},
        {"/diagnostics/timeReference", json("host")},
        {"/diagnostics/environment/osVersion", std::nullopt},
        {"/diagnostics/environment/physicalMemoryBytes", json(-1)},
        {"/diagnostics/networkPath/historyTruncated", json(0)},
        {"/diagnostics/networkPath/samples/1/status", json("connected")},
        {"/diagnostics/networkPath/samples/1/interfaceTypes/0", json("bluetooth")},
        {"/diagnostics/networkPath/samples/1/observedAtSeconds", json(true)},
        {"/diagnostics/systemState/samples/0/thermalState", std::nullopt},
        {"/diagnostics/systemState/samples/0", json(3)},
    };
    for (const Case& c : cases) {
        json document = golden;
        const json::json_pointer pointer(c.pointer);
        if (c.replacement) {
            document[pointer] = *c.replacement;
        } else {
            document[pointer.parent_pointer()].erase(pointer.back());
        }
        const auto decoded = decodeManifestJson(document);
        ASSERT_FALSE(decoded) << c.pointer;
        EXPECT_FALSE(decoded.error().message.empty());
    }
    for (const char* text : {"", "[]", "null", "{", "{\"v\": 1,}", "\xff\xfe"}) {
        EXPECT_FALSE(decodeManifest(text)) << text;
    }
}

TEST(CaptureManifestTest, WhatJsonCannotHoldIsNotWritten) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<CaptureManifest> manifests(4, goldenManifest());
    manifests[0].actualSeconds = nan;
    manifests[1].gaps[0].endSeconds = -inf;
    manifests[2].diagnostics->networkPath.samples[0].atSeconds = nan;
    manifests[3].gaps[0].reason = "bad \xff byte";
    for (const auto& manifest : manifests) {
        auto text = encodeManifest(manifest);
        ASSERT_FALSE(text);
        EXPECT_FALSE(text.error().message.empty());
    }
}

TEST(CaptureManifestTest, CaptureDatesAreWholeSecondsInUtc) {
    using namespace std::chrono;
    using Clock = system_clock;
    EXPECT_EQ(formatCaptureDate(Clock::time_point(seconds(0))), "1970-01-01T00:00:00Z");
    EXPECT_EQ(formatCaptureDate(Clock::time_point(milliseconds(-1))), "1969-12-31T23:59:59Z");
}

} // namespace
} // namespace snagreel
