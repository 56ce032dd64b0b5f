// The point-cloud files in a widely used reader: a PCD and a PLY file written by the library are loaded
// with PCL and must hold the same points: the PCD every point bit for bit (missing points as NaN), the
// PLY the points with a measurement, each the value of its "%.2f" text.

#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "support/cloud_frame.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t kWidth = 64, kHeight = 48, kUnit = 10;

int failures = 0, checks = 0;

void Check(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

std::vector<uint8_t> MakeCloud() {
    std::vector<uint8_t> raw(size_t{kWidth} * kHeight * 6);
    for (uint32_t n = 0; n < kWidth * kHeight; ++n) {
        const int16_t x = static_cast<int16_t>(static_cast<int>(n % kWidth) * 37 - 1200);
        const int16_t y = static_cast<int16_t>(static_cast<int>(n / kWidth) * -53 + 977);
        const uint16_t z = n % 7 == 0 ? 0 : static_cast<uint16_t>(5000 + (n * 7919) % 60000);
        std::memcpy(raw.data() + 6 * n, &x, 2);
        std::memcpy(raw.data() + 6 * n + 2, &y, 2);
        std::memcpy(raw.data() + 6 * n + 4, &z, 2);
    }
    return raw;
}

float TextValue(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(value));
    return std::strtof(text, nullptr);
}

}  // namespace

int main() {
    const tavi::test::TempDirectory dir;
    std::vector<uint8_t> raw = MakeCloud();
    PhotoInfo frame = tavi::test::CloudFrameOver(raw, kWidth, kHeight, kUnit);
    GigeCamera camera;
    std::vector<float> decoded(size_t{kWidth} * kHeight * 3);
    camera.Convert3DPointFromCharToFloat(frame, decoded.data());

    std::string pcd_path = dir.PathOf("cloud.pcd"), ply_path = dir.PathOf("cloud.ply");
    Check(camera.SavePointCloudToPcd(frame, pcd_path.data()) == 0, "PCD written");
    Check(camera.SavePointCloudToPly(frame, ply_path.data()) == 0, "PLY written");

    pcl::PointCloud<pcl::PointXYZ> pcd;
    Check(pcl::io::loadPCDFile(pcd_path, pcd) == 0, "PCD loads in PCL");
    Check(pcd.width == kWidth && pcd.height == kHeight, "PCD is an organised cloud of the frame's size");
    size_t valid = 0;
    for (size_t n = 0; n < pcd.size() && n < kWidth * kHeight; ++n) {
        const float* expected = decoded.data() + 3 * n;
        const pcl::PointXYZ& point = pcd[n];
        if (std::fabs(expected[2]) < 0.000001) {
            Check(std::isnan(point.x) && std::isnan(point.y) && std::isnan(point.z),
                  "missing PCD point is NaN");
            continue;
        }
        ++valid;
        Check(point.x == expected[0] && point.y == expected[1] && point.z == expected[2],
              "PCD point " + std::to_string(n) + " equals the decoded point");
    }

    pcl::PointCloud<pcl::PointXYZ> ply;
    Check(pcl::io::loadPLYFile(ply_path, ply) == 0, "PLY loads in PCL");
    Check(ply.size() == valid, "PLY holds the points with a measurement (" + std::to_string(ply.size()) +
                                   " of " + std::to_string(valid) + ")");
    size_t line = 0;
    for (size_t n = 0; n < kWidth * kHeight && line < ply.size(); ++n) {
        const float* expected = decoded.data() + 3 * n;
        if (!(expected[2] > 0.000001)) continue;
        const pcl::PointXYZ& point = ply[line++];
        Check(point.x == TextValue(expected[0]) && point.y == TextValue(expected[1]) &&
                  point.z == TextValue(expected[2]),
              "PLY point " + std::to_string(n) + " equals its text");
    }

    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
