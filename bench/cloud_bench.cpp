// Point-cloud operations on a 1280 x 1024 depth frame, each beside what a user would pick instead, in
// the same run: prints one table row per pair (best of several runs, milliseconds).
//   cloud_bench [runs]

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "best_time.h"
#include "export/cloud_files.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
#include "processing/cloud_plane.h"
#include "processing/grid_filter.h"
#include "processing/window_filter.h"
#include "support/cloud_frame.h"
#include "support/temp_dir.h"

#if defined(TAVI_BENCH_WITH_PCL)
#include <pcl/io/pcd_io.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#endif

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 1024, kUnit = 10;

// A scene as the depth sensor sees it: a tilted floor, a box and a ball, sensor noise, a few stray
// points and holes without measurement. Coordinates are in tenths of a millimetre (unit 10).
std::vector<uint8_t> MakeScene() {
    std::vector<uint8_t> raw(size_t{kWidth} * kHeight * 6);
    std::mt19937 random(42);
    std::normal_distribution<float> noise(0.0f, 4.0f);
    std::uniform_int_distribution<int> chance(0, 999), stray(3000, 60000);
    for (uint32_t row = 0; row < kHeight; ++row) {
        for (uint32_t column = 0; column < kWidth; ++column) {
            const float u = (static_cast<float>(column) - kWidth / 2.0f) / kWidth;
            const float v = (static_cast<float>(row) - kHeight / 2.0f) / kHeight;
            float depth = 9000.0f + 3000.0f * v;                                               // floor
            if (std::fabs(u - 0.2f) < 0.12f && std::fabs(v + 0.1f) < 0.15f) depth -= 1500.0f;  // box
            const float ball = (u + 0.25f) * (u + 0.25f) + v * v;
            if (ball < 0.02f) depth -= 2000.0f * std::sqrt(1.0f - ball / 0.02f);  // ball
            depth += noise(random);
            const int roll = chance(random);
            if (roll < 30) depth = 0.0f;                                 // hole
            if (roll >= 995) depth = static_cast<float>(stray(random));  // stray point
            const float x = u * depth * 0.9f, y = v * depth * 0.7f;
            const int16_t words[3] = {
                static_cast<int16_t>(depth > 0 ? x : 0), static_cast<int16_t>(depth > 0 ? y : 0),
                static_cast<int16_t>(static_cast<uint16_t>(std::clamp(depth, 0.0f, 65535.0f)))};
            std::memcpy(raw.data() + (size_t{row} * kWidth + column) * 6, words, 6);
        }
    }
    return raw;
}

PhotoInfo FrameOf(std::vector<uint8_t>& raw) {
    return tavi::test::CloudFrameOver(raw, kWidth, kHeight, kUnit);
}

using tavi::bench::BestMilliseconds;

void Row(const char* operation, double ours, const char* alternative, double theirs) {
    std::printf("| %-28s | %9.2f | %-34s | %9.2f | %6.2fx |\n", operation, ours, alternative, theirs,
                theirs / ours);
}

std::string ReadAll(const std::string& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[1 << 16];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
        std::fclose(file);
    }
    return text;
}

// What a user would write with the standard library instead of printf: std::to_chars with precision 2
// (the same text as "%.2f").
void WritePlyWithToChars(const PhotoInfo& frame, const char* path) {
    const size_t points = size_t{frame.width} * frame.height;
    std::vector<float> decoded(points * 3);
    tavi::DecodeFrame(frame, decoded.data());
    size_t valid = 0;
    for (size_t n = 0; n < points; ++n) valid += decoded[3 * n + 2] > 0.000001;
    FILE* file = std::fopen(path, "wb");
    std::fprintf(file,
                 "ply\r\nformat ascii 1.0\r\nelement vertex %zu\r\nproperty float x\r\nproperty float y\r\n"
                 "property float z\r\nend_header\r\n",
                 valid);
    std::vector<char> buffer(1 << 20);
    size_t used = 0;
    for (size_t n = 0; n < points; ++n) {
        if (!(decoded[3 * n + 2] > 0.000001)) continue;
        if (buffer.size() - used < 256) std::fwrite(buffer.data(), 1, used, file), used = 0;
        for (int axis = 0; axis < 3; ++axis) {
            used = static_cast<size_t>(std::to_chars(buffer.data() + used, buffer.data() + buffer.size(),
                                                     static_cast<double>(decoded[3 * n + axis]),
                                                     std::chars_format::fixed, 2)
                                           .ptr -
                                       buffer.data());
            buffer[used++] = ' ';
        }
        buffer[used++] = '\r', buffer[used++] = '\n';
    }
    std::fwrite(buffer.data(), 1, used, file);
    std::fclose(file);
}

void WriteWithReference(const PhotoInfo& frame, const char* path, bool ply) {
    FILE* file = std::fopen(path, "wb");
    tavi::WritePointTextReference(frame, file, ply);
    std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const tavi::test::TempDirectory dir;
    const std::string ours_path = dir.PathOf("ours"), theirs_path = dir.PathOf("theirs");
    GigeCamera camera;
    std::vector<uint8_t> scene = MakeScene();
    PhotoInfo frame = FrameOf(scene);
    const size_t points = size_t{kWidth} * kHeight;
    std::vector<float> decoded(points * 3), copy(points * 3);
    std::vector<short> plane(points);
    bool identical = true;

    std::printf("1280 x 1024 cloud, unit %u, best of %d runs, milliseconds; ratio = alternative / ours\n\n",
                kUnit, runs);
    std::printf("| %-28s | %9s | %-34s | %9s | %7s |\n", "operation", "ours", "alternative", "theirs",
                "ratio");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(30, '-').c_str(), std::string(11, '-').c_str(),
                std::string(36, '-').c_str(), std::string(11, '-').c_str(), std::string(9, '-').c_str());

    const double decode =
        BestMilliseconds(runs, [&] { camera.Convert3DPointFromCharToFloat(frame, decoded.data()); });
    Row("decode", decode, "memcpy of the 15.7 MB output",
        BestMilliseconds(runs, [&] { std::memcpy(copy.data(), decoded.data(), copy.size() * 4); }));
    Row("decode", decode, "plain loop, float division", BestMilliseconds(runs, [&] {
            tavi::DecodePointsReference(scene.data(), points, kUnit, copy.data());
        }));
    identical &= std::memcmp(copy.data(), decoded.data(), copy.size() * 4) == 0;

    std::vector<short> reference_plane(points);
    Row("plane Z", BestMilliseconds(runs, [&] { camera.GetCloudPlaneZ(frame, plane.data()); }),
        "decode all, then take Z",
        BestMilliseconds(runs, [&] { tavi::ExtractPlaneReference(frame, reference_plane.data(), 2); }));
    identical &= plane == reference_plane;

    std::vector<char> path(ours_path.begin(), ours_path.end());
    path.push_back('\0');
    const double pcd = BestMilliseconds(runs, [&] { camera.SavePointCloudToPcd(frame, path.data()); });
    Row("PCD file", pcd, "fwrite of the decoded body", BestMilliseconds(runs, [&] {
            FILE* file = std::fopen(theirs_path.c_str(), "wb");
            std::fwrite(decoded.data(), 4, decoded.size(), file);
            std::fclose(file);
        }));
#if defined(TAVI_BENCH_WITH_PCL)
    {
        pcl::PointCloud<pcl::PointXYZ> cloud(kWidth, kHeight);
        for (size_t n = 0; n < points; ++n) {
            const float* p = decoded.data() + 3 * n;
            const bool missing = std::fabs(p[2]) < 0.000001;
            const float nan = std::nanf("");
            cloud[n] = missing ? pcl::PointXYZ(nan, nan, nan) : pcl::PointXYZ(p[0], p[1], p[2]);
        }
        cloud.is_dense = false;
        Row("PCD file", pcd, "PCL savePCDFileBinary",
            BestMilliseconds(runs, [&] { pcl::io::savePCDFileBinary(theirs_path, cloud); }));
    }
#else
    std::printf("| %-28s | %9s | %-34s | %9s | %7s |\n", "PCD file", "", "PCL savePCDFileBinary", "n/a", "");
#endif

    const int slow_runs = std::max(1, runs / 3);
    const double ply = BestMilliseconds(runs, [&] { camera.SavePointCloudToPly(frame, path.data()); });
    Row("PLY file", ply, "fprintf \"%.2f \" per value",
        BestMilliseconds(slow_runs, [&] { WriteWithReference(frame, theirs_path.c_str(), true); }));
    identical &= ReadAll(ours_path) == ReadAll(theirs_path);
    Row("PLY file", ply, "std::to_chars(fixed, 2) per value",
        BestMilliseconds(runs, [&] { WritePlyWithToChars(frame, theirs_path.c_str()); }));
    const double txt = BestMilliseconds(runs, [&] { camera.SavePointCloudToTxt(frame, path.data()); });
    Row("point text file", txt, "fprintf \"%.2f \" per value",
        BestMilliseconds(slow_runs, [&] { WriteWithReference(frame, theirs_path.c_str(), false); }));
    identical &= ReadAll(ours_path) == ReadAll(theirs_path);

    std::vector<uint8_t> work(scene.size()), reference_work(scene.size());
    PhotoInfo work_frame = FrameOf(work), reference_frame = FrameOf(reference_work);
    Row("window filter (k = 1)",
        BestMilliseconds(runs,
                         [&] {
                             work = scene;
                             camera.FilterPointCloud(work_frame, 1.0);
                         }),
        "plain loop, kept-points array", BestMilliseconds(runs, [&] {
            reference_work = scene;
            tavi::WindowFilterReference(reference_frame, 1.0);
        }));
    identical &= work == reference_work;
    Row("grid filter (a = 3)",
        BestMilliseconds(runs,
                         [&] {
                             work = scene;
                             camera.SpatialFilterPointcloud(work_frame, 3);
                         }),
        "plain loop, two dense C^3 grids", BestMilliseconds(runs, [&] {
            reference_work = scene;
            tavi::GridFilterReference(reference_frame, 3);
        }));
    identical &= work == reference_work;

    std::printf("\nresults and files identical to the alternatives' (where they compute the same): %s\n",
                identical ? "yes" : "NO");
    return identical ? 0 : 1;
}
