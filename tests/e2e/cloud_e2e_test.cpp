// A depth frame captured from a virtual camera (run inside scripts/netns-run.sh with one camera), filtered
// and written as PCD, PLY and text files: the files hold the filtered points, every point lies on a
// surface of the camera's scene (background plane, sphere, box), the dark patch that returns no light
// stays empty, and the stray points the camera adds are gone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "scene/scene.h"
#include "support/e2e_camera.h"
#include "support/temp_dir.h"
#include "support/virtual_camera_control.h"

namespace {

namespace scene = vcam::scene;

constexpr int64_t kCaptureWaitUs =
    30'000'000;                       // bounds a hang; a sanitizer build of the camera renders slowly
constexpr double kOnSurfaceMm = 3.0;  // six times the camera's depth noise
// A stray point closer to a surface than the window filter's tolerance (k x 0.005 x Z, under 9 mm
// here) agrees with its neighbours and rightly stays; farther ones must go.
constexpr double kStrayMm = 10.0;

struct Point {
    float x, y, z;
};

enum class Place { kOffSurface, kPlane, kDarkPatch, kSphere, kBox };

// Where a decoded point (millimetres, depth-sensor coordinates) lies in the scene.
Place PlaceOf(const Point& p, double tolerance) {
    const double to_centre =
        std::hypot(p.x - scene::kSphereCentre.x, p.y - scene::kSphereCentre.y, p.z - scene::kSphereCentre.z);
    if (std::fabs(to_centre - scene::kSphereRadius) < tolerance) return Place::kSphere;
    auto within = [tolerance](double v, double low, double high) {
        return v > low - tolerance && v < high + tolerance;
    };
    if (within(p.x, scene::kBoxMin.x, scene::kBoxMax.x) && within(p.y, scene::kBoxMin.y, scene::kBoxMax.y) &&
        within(p.z, scene::kBoxMin.z, scene::kBoxMax.z)) {
        return Place::kBox;
    }
    const double plane_z = scene::kPlaneZ0 + scene::kPlaneSlopeX * p.x + scene::kPlaneSlopeY * p.y;
    if (std::fabs(p.z - plane_z) >= tolerance) return Place::kOffSurface;
    // Noise along the viewing ray and the write-back's one raw step move points by a fraction of a
    // millimetre across the patch's edge: only points clearly inside count as in the patch.
    const double margin = 1.0;
    const bool in_patch = p.x > scene::kPatchMinX + margin && p.x < scene::kPatchMaxX - margin &&
                          p.y > scene::kPatchMinY + margin && p.y < scene::kPatchMaxY - margin;
    return in_patch ? Place::kDarkPatch : Place::kPlane;
}

std::vector<Point> Decoded(GigeCamera& camera, PhotoInfo& frame) {
    std::vector<Point> points(size_t{frame.width} * frame.height);
    camera.Convert3DPointFromCharToFloat(frame, &points[0].x);
    return points;
}

struct Census {
    size_t measured = 0;
    size_t places[5] = {};
    size_t at(Place place) const { return places[static_cast<int>(place)]; }
};

Census CensusOf(const std::vector<Point>& points, double tolerance) {
    Census census;
    for (const Point& p : points) {
        if (!(p.z > 0.000001)) continue;
        ++census.measured;
        ++census.places[static_cast<int>(PlaceOf(p, tolerance))];
    }
    return census;
}

class CloudE2E : public tavi::test::ConnectedE2eCamera {
  protected:
    // One full-size frame of the depth channel.
    void CaptureDepthFrame() {
        int payload = 0;
        ASSERT_EQ(camera_.ReadRegister(camera_.GetRegisterAddr("PayloadSize"), &payload), 0);
        bytes_.assign(static_cast<size_t>(payload), 0xEE);
        frame_ = PhotoInfo{};
        frame_.data = bytes_.data();
        GigeStream* stream = nullptr;
        ASSERT_EQ(camera_.StreamOn(0, &stream), 0);
        ASSERT_EQ(camera_.AcquisitionStart(), 0);
        const ::testing::AssertionResult captured =
            tavi::test::CaptureWholeFrame(stream, &frame_, kCaptureWaitUs);
        camera_.AcquisitionStop();
        camera_.StreamOff(0, stream);
        ASSERT_TRUE(captured);
    }

    int Save(int (GigeCamera::*writer)(PhotoInfo&, char*), const std::string& name) {
        std::string path = (scratch_.path() / name).string();
        return (camera_.*writer)(frame_, path.data());
    }

    tavi::test::ScratchDirectory scratch_;
    std::vector<unsigned char> bytes_;
    PhotoInfo frame_{};
};

TEST_F(CloudE2E, FilteredDepthFrameWrittenAsFilesHoldsTheScenesSurfaces) {
    ASSERT_NO_FATAL_FAILURE(CaptureDepthFrame());
    ASSERT_EQ(frame_.pixel_format, static_cast<uint32_t>(kPixelCoord3D_ABC16));
    ASSERT_EQ(frame_.payload_size, frame_.width * frame_.height * 6);
    EXPECT_EQ(frame_.cloud_unit, 10u);

    // As captured: nearly every pixel sees a surface, the dark patch returns nothing, and a few
    // stray points float off the surfaces.
    const Census raw = CensusOf(Decoded(camera_, frame_), kOnSurfaceMm);
    const size_t pixels = size_t{frame_.width} * frame_.height;
    EXPECT_GT(raw.measured, pixels * 8 / 10);
    EXPECT_EQ(raw.at(Place::kDarkPatch), 0u);
    EXPECT_GT(raw.at(Place::kSphere), 1000u);
    EXPECT_GT(raw.at(Place::kBox), 1000u);
    EXPECT_LT(raw.at(Place::kOffSurface), raw.measured / 100);
    const size_t raw_strays = CensusOf(Decoded(camera_, frame_), kStrayMm).at(Place::kOffSurface);
    EXPECT_GT(raw_strays, 0u) << "the camera adds stray points";

    camera_.FilterPointCloud(frame_, 1.0);
    ASSERT_EQ(camera_.SpatialFilterPointcloud(frame_, 2), 0);
    const std::vector<Point> filtered = Decoded(camera_, frame_);
    EXPECT_EQ(CensusOf(filtered, kStrayMm).at(Place::kOffSurface), 0u) << "stray points survived the filters";
    const Census kept = CensusOf(filtered, kOnSurfaceMm + 0.2);  // write-back may shorten by one raw step
    EXPECT_EQ(kept.at(Place::kDarkPatch), 0u);
    EXPECT_GT(kept.at(Place::kSphere), raw.at(Place::kSphere) * 9 / 10);
    EXPECT_GT(kept.at(Place::kBox), raw.at(Place::kBox) * 9 / 10);
    EXPECT_GT(kept.at(Place::kPlane), raw.at(Place::kPlane) * 9 / 10);

    ASSERT_EQ(Save(&GigeCamera::SavePointCloudToPcd, "depth.pcd"), 0);
    ASSERT_EQ(Save(&GigeCamera::SavePointCloudToPly, "depth.ply"), 0);
    ASSERT_EQ(Save(&GigeCamera::SavePointCloudToTxt, "depth.txt"), 0);

    // PCD: the organised cloud, every point bit for bit, points without measurement as NaN.
    const std::string pcd = scratch_.Read("depth.pcd");
    const std::string size_lines = "WIDTH " + std::to_string(frame_.width) + "\r\nHEIGHT " +
                                   std::to_string(frame_.height) + "\r\nVIEWPOINT 0 0 0 1 0 0 0\r\nPOINTS " +
                                   std::to_string(pixels) + "\r\nDATA binary\r\n";
    const size_t body = pcd.find(size_lines);
    ASSERT_NE(body, std::string::npos);
    ASSERT_EQ(pcd.size() - (body + size_lines.size()), pixels * 12);
    std::vector<Point> pcd_points(pixels);
    std::memcpy(pcd_points.data(), pcd.data() + body + size_lines.size(), pixels * 12);
    size_t mismatches = 0;
    for (size_t n = 0; n < pixels; ++n) {
        const Point& p = pcd_points[n];
        const Point& expected = filtered[n];
        const bool missing = std::fabs(expected.z) < 0.000001;
        mismatches += missing ? !(std::isnan(p.x) && std::isnan(p.y) && std::isnan(p.z))
                              : std::memcmp(&p, &expected, sizeof p) != 0;
    }
    EXPECT_EQ(mismatches, 0u);

    // PLY and text: one line per kept point, in pixel order, each value within half a hundredth.
    const std::string ply = scratch_.Read("depth.ply");
    const std::string header_end = "end_header\r\n";
    const size_t ply_body = ply.find(header_end);
    ASSERT_NE(ply_body, std::string::npos);
    EXPECT_NE(ply.find("element vertex " + std::to_string(kept.measured) + "\r\n"), std::string::npos);
    const std::string lines = ply.substr(ply_body + header_end.size());
    EXPECT_EQ(scratch_.Read("depth.txt"), lines);
    std::istringstream text(lines);
    size_t line_count = 0, far_off = 0, n = 0;
    Point p{};
    while (text >> p.x >> p.y >> p.z) {
        while (n < pixels && !(filtered[n].z > 0.000001)) ++n;
        ASSERT_LT(n, pixels);
        const Point& expected = filtered[n++];
        far_off += std::fabs(p.x - expected.x) > 0.0051 || std::fabs(p.y - expected.y) > 0.0051 ||
                   std::fabs(p.z - expected.z) > 0.0051;
        ++line_count;
    }
    EXPECT_EQ(line_count, kept.measured);
    EXPECT_EQ(far_off, 0u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\r'), static_cast<long>(line_count));
}

}  // namespace
