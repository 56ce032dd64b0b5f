#pragma once
// Hand-made point clouds, a camera whose error log is captured, and file helpers for the point-cloud
// tests.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/Types.h"
#include "support/cloud_frame.h"
#include "support/temp_dir.h"

namespace cloud_test {

// A Coord3D_ABC16 frame owning its payload.
struct RawCloud {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t unit = 1;
    std::vector<uint8_t> bytes;

    RawCloud(uint32_t w, uint32_t h, uint32_t cloud_unit = 1)
        : width(w), height(h), unit(cloud_unit), bytes(size_t{w} * h * 6, 0) {}

    PhotoInfo Frame() { return tavi::test::CloudFrameOver(bytes, width, height, unit); }
    size_t Points() const { return size_t{width} * height; }
    void SetWord(size_t n, int axis, uint16_t word) {
        bytes[6 * n + 2 * axis] = static_cast<uint8_t>(word & 0xFF);
        bytes[6 * n + 2 * axis + 1] = static_cast<uint8_t>(word >> 8);
    }
    void Set(size_t n, int x, int y, int z) {
        SetWord(n, 0, static_cast<uint16_t>(x));
        SetWord(n, 1, static_cast<uint16_t>(y));
        SetWord(n, 2, static_cast<uint16_t>(z));
    }
    void Set(size_t row, size_t column, int x, int y, int z) { Set(row * width + column, x, y, z); }
    std::array<int, 3> Get(size_t n) const {
        auto word = [&](int axis) { return bytes[6 * n + 2 * axis] | (bytes[6 * n + 2 * axis + 1] << 8); };
        return {static_cast<int16_t>(word(0)), static_cast<int16_t>(word(1)), word(2)};
    }
    std::array<int, 3> Get(size_t row, size_t column) const { return Get(row * width + column); }
    bool IsCleared(size_t n) const { return Get(n) == std::array<int, 3>{0, 0, 0}; }
};

// A cloud of random points in depth clusters, so that the filters keep some points and drop others.
inline RawCloud RandomCloud(uint32_t width, uint32_t height, uint32_t unit, uint32_t seed,
                            int max_depth = 3000) {
    RawCloud cloud(width, height, unit);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> coordinate(-400, 400), depth(0, max_depth), noise(-3, 3), pick(0, 9);
    int base = depth(random);
    for (size_t n = 0; n < cloud.Points(); ++n) {
        if (pick(random) == 0) base = depth(random);
        const int kind = pick(random);
        const int z = kind < 2 ? 0 : kind < 3 ? depth(random) : std::max(0, base + noise(random));
        const int column = static_cast<int>(n % width), row = static_cast<int>(n / width);
        cloud.Set(n, column - static_cast<int>(width) / 2 + noise(random),
                  row - static_cast<int>(height) / 2 + coordinate(random) / 50, z);
    }
    return cloud;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A camera whose error log goes to a file in a fresh working directory; the test reads it back.
class CloudCameraTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LogSwitches::error = 1;
        log_open(&camera_.log, "cloudtest");
    }
    void TearDown() override { log_close(&camera_.log); }
    std::string LogText() {
        std::fflush(camera_.log.file.load());
        return scratch_.Read("cloudtest.log");
    }
    std::filesystem::path PathOf(const std::string& name) const { return scratch_.path() / name; }

    tavi::test::ScratchDirectory scratch_;  // first in, last out: the log lives in it
    GigeCamera camera_;
};

}  // namespace cloud_test
