#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "export/fixed2_format.h"

namespace {

std::string Ours(float value) {
    char text[tavi::kMaxFixed2Chars + 1];
    return {text, tavi::AppendFixed2(text, value)};
}

std::string Printf(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(value));
    return text;
}

float FromBits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

}  // namespace

TEST(CloudFixed2Format, EdgeValuesMatchPrintf) {
    const float edges[] = {0.0f,
                           -0.0f,
                           0.001f,
                           -0.001f,
                           0.004999f,
                           0.005f,
                           -0.005f,
                           0.015f,
                           0.025f,
                           0.995f,
                           -0.995f,
                           1.0f,
                           -2.0f,
                           30.0f,
                           0.1f,
                           65535.0f,
                           -32768.0f,
                           32767.0f / 7.0f,
                           9.995f,
                           99.995f,
                           1e-45f,
                           -1e-45f,
                           FLT_MIN,
                           -FLT_MIN,
                           FLT_MAX,
                           -FLT_MAX,
                           16777216.0f,
                           16777215.5f,
                           4294967296.0f,
                           72057594037927936.0f /* 2^56 */,
                           72057594037927936.0f * 2,
                           1e30f,
                           -1e38f,
                           FLT_EPSILON,
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(),
                           -std::numeric_limits<float>::quiet_NaN(),
                           FromBits(0xFFC00000),
                           FromBits(0x7F800001)};
    for (float value : edges)
        EXPECT_EQ(Ours(value), Printf(value)) << "bits " << std::hex << std::bit_cast<uint32_t>(value);
}

// Exact halves of a hundredth are the odd multiples of 1/8; printf rounds them to even.
TEST(CloudFixed2Format, ExactHalvesRoundToEvenLikePrintf) {
    EXPECT_EQ(Ours(0.125f), "0.12");
    EXPECT_EQ(Ours(0.375f), "0.38");
    EXPECT_EQ(Ours(-0.625f), "-0.62");
    for (int eighths = -800001; eighths <= 800001; eighths += 2) {
        const float value = static_cast<float>(eighths) / 8.0f;
        ASSERT_EQ(Ours(value), Printf(value)) << eighths << "/8";
    }
}

// Every value a cloud can decode to, for a range of units.
TEST(CloudFixed2Format, EveryDecodedCoordinateMatchesPrintf) {
    for (uint32_t unit : {1u, 3u, 7u, 10u, 100u, 1000u, 3000000u}) {
        for (int raw = -32768; raw <= 65535; ++raw) {
            const float value = static_cast<float>(raw) / static_cast<float>(unit);
            ASSERT_EQ(Ours(value), Printf(value)) << raw << " / " << unit;
        }
    }
}

TEST(CloudFixed2Format, RandomBitPatternsMatchPrintf) {
    std::mt19937 random(20261208);
    for (int i = 0; i < 1000000; ++i) {
        const float value = FromBits(static_cast<uint32_t>(random()));
        ASSERT_EQ(Ours(value), Printf(value)) << std::hex << std::bit_cast<uint32_t>(value);
    }
    std::uniform_real_distribution<float> near(-70000.0f, 70000.0f);
    for (int i = 0; i < 1000000; ++i) {
        const float value = near(random);
        ASSERT_EQ(Ours(value), Printf(value)) << value;
    }
}

TEST(CloudFixed2Format, ColourValuesTruncateTowardZero) {
    auto colour = [](float value) {
        char text[tavi::kMaxColourChars + 1];
        return std::string(text, tavi::AppendTruncatedInt(text, value));
    };
    EXPECT_EQ(colour(12.9f), "12");
    EXPECT_EQ(colour(255.0f), "255");
    EXPECT_EQ(colour(0.0f), "0");
    EXPECT_EQ(colour(-0.5f), "0");
    EXPECT_EQ(colour(-7.9f), "-7");
    EXPECT_EQ(colour(-2147483648.0f), "-2147483648");
    EXPECT_EQ(colour(std::numeric_limits<float>::quiet_NaN()), "0");
    EXPECT_EQ(colour(1e20f), "0");
}
