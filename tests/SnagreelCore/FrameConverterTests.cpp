#include "SnagreelCore/Linux/FrameConverter.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cstdlib>
#include <vector>

using namespace snagreel;

namespace {

std::vector<std::uint8_t> solid(int width, int height, std::uint8_t r, std::uint8_t g,
                                std::uint8_t b, int stride) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(stride) * height, 0xEE);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &pixels[static_cast<std::size_t>(y) * stride + x * 4];
            p[0] = b;
            p[1] = g;
            p[2] = r;
            p[3] = 0;
        }
    }
    return pixels;
}

struct Sampled {
    int y, u, v;
};

Sampled centre(const ScreenImage& image) {
    const AVFrame* f = image.frame.get();
    const int x = image.width / 2;
    const int y = image.height / 2;
    const std::uint8_t* uv = f->data[1] + (y / 2) * f->linesize[1] + (x / 2) * 2;
    return {f->data[0][y * f->linesize[0] + x], uv[0], uv[1]};
}

} // namespace

TEST(FrameConverter, ProducesVideoRangeBt709Nv12) {
    auto converter = FrameConverter::create(64, 32, 64, 32);
    ASSERT_TRUE(converter);
    // A stride wider than the row, as shared-memory images have, must be honoured.
    const int stride = 64 * 4 + 32;
    struct Case {
        std::uint8_t r, g, b;
        Sampled expected;
    };
    const Case cases[] = {
        {255, 255, 255, {235, 128, 128}},
        {0, 0, 0, {16, 128, 128}},
        {255, 0, 0, {63, 102, 240}},
        {0, 0, 255, {32, 240, 118}},
    };
    for (const Case& c : cases) {
        auto pixels = solid(64, 32, c.r, c.g, c.b, stride);
        auto image = (*converter)->convert(pixels.data(), stride);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixelFormat, AV_PIX_FMT_NV12);
        EXPECT_EQ(image->frame->color_range, AVCOL_RANGE_MPEG);
        const Sampled got = centre(*image);
        EXPECT_NEAR(got.y, c.expected.y, 2) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_NEAR(got.u, c.expected.u, 2) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_NEAR(got.v, c.expected.v, 2) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
}

TEST(FrameConverter, ScalesDownAndRecyclesPixelMemory) {
    auto converter = FrameConverter::create(3840, 2160, 1920, 1080, 2);
    ASSERT_TRUE(converter);
    auto pixels = solid(3840, 2160, 255, 255, 255, 3840 * 4);
    const std::uint8_t* first = nullptr;
    {
        auto image = (*converter)->convert(pixels.data(), 3840 * 4);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, 1920);
        EXPECT_EQ(image->height, 1080);
        EXPECT_EQ(image->frame->width, 1920);
        EXPECT_NEAR(centre(*image).y, 235, 2);
        first = image->frame->data[0];
    }
    // Images alive at the same time never share pixels; a released buffer (the
    // converter keeps the last image until the next) is handed out again.
    auto black = solid(3840, 2160, 0, 0, 0, 3840 * 4);
    auto other = (*converter)->convert(black.data(), 3840 * 4);
    ASSERT_TRUE(other);
    EXPECT_NE(other->frame->data[0], first);
    auto again = (*converter)->convert(pixels.data(), 3840 * 4);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->frame->data[0], first);
}

TEST(FrameConverter, ImagesOutliveTheirConverter) {
    ScreenImage kept;
    {
        auto converter = FrameConverter::create(32, 32, 32, 32);
        ASSERT_TRUE(converter);
        auto pixels = solid(32, 32, 0, 0, 0, 32 * 4);
        auto image = (*converter)->convert(pixels.data(), 32 * 4);
        ASSERT_TRUE(image);
        kept = *image;
    }
    EXPECT_NEAR(centre(kept).y, 16, 2);
}

TEST(FrameConverter, RefusesBadSizesAndStrides) {
    EXPECT_FALSE(FrameConverter::create(0, 10, 2, 2));
    EXPECT_FALSE(FrameConverter::create(10, 10, 3, 2));
    EXPECT_FALSE(FrameConverter::create(10, 10, 2, 0));
    auto converter = FrameConverter::create(16, 16, 16, 16);
    ASSERT_TRUE(converter);
    std::vector<std::uint8_t> pixels(16 * 16 * 4);
    EXPECT_FALSE((*converter)->convert(pixels.data(), 16 * 4 - 1));
    EXPECT_FALSE((*converter)->convert(nullptr, 16 * 4));
}

namespace {

std::vector<std::uint8_t> planes(const ScreenImage& image) {
    const AVFrame* f = image.frame.get();
    std::vector<std::uint8_t> bytes;
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* row = f->data[0] + y * f->linesize[0];
        bytes.insert(bytes.end(), row, row + image.width);
    }
    for (int y = 0; y < image.height / 2; ++y) {
        const std::uint8_t* row = f->data[1] + y * f->linesize[1];
        bytes.insert(bytes.end(), row, row + image.width);
    }
    return bytes;
}

} // namespace

TEST(FrameConverter, ChangedRowsOnlyGiveTheImageOfAFullConversion) {
    // 50 rows: three whole stripes and a short one at the bottom.
    const int width = 48, height = 50, stride = width * 4;
    std::vector<std::uint8_t> before(static_cast<std::size_t>(stride) * height);
    std::srand(7);
    for (auto& byte : before) {
        byte = static_cast<std::uint8_t>(std::rand());
    }
    std::vector<std::uint8_t> after = before;
    const std::vector<RowRange> changed{{5, 9}, {47, 50}};
    for (const RowRange& range : changed) {
        for (int y = range.top; y < range.bottom; ++y) {
            for (int x = 0; x < stride; ++x) {
                after[static_cast<std::size_t>(y * stride + x)] ^= 0x5A;
            }
        }
    }
    auto partial = FrameConverter::create(width, height, width, height);
    auto full = FrameConverter::create(width, height, width, height);
    ASSERT_TRUE(partial && full);
    const auto first = (*partial)->convert(before.data(), stride, changed); // no last image
    ASSERT_TRUE(first);
    const auto firstBytes = planes(*first);
    EXPECT_EQ(firstBytes, planes(*(*full)->convert(before.data(), stride)));
    const auto second = (*partial)->convert(after.data(), stride, changed);
    ASSERT_TRUE(second);
    EXPECT_NE(second->frame, first->frame);
    EXPECT_EQ(planes(*second), planes(*(*full)->convert(after.data(), stride)));
    EXPECT_EQ(planes(*first), firstBytes);

    // The same pixels again give the last image itself, whole or in rows.
    EXPECT_EQ((*partial)->convert(after.data(), stride, changed)->frame, second->frame);
    const auto again = (*full)->convert(after.data(), stride);
    EXPECT_EQ((*full)->convert(after.data(), stride)->frame, again->frame);
    EXPECT_NE((*full)->convert(before.data(), stride)->frame, again->frame);
}
