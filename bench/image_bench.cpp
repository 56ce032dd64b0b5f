// Image operations on 1280 x 1024 frames, each beside what a user would pick instead (OpenCV, when
// it is installed, and the plain reference loops), in the same run: one table row per pair, best of
// several runs, milliseconds. OpenCV computes its own variant of each operation (its demosaic and
// YUV coefficients differ), so only the reference loops are compared byte for byte.
//   image_bench [runs]

#include <unistd.h>

#include <algorithm>
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
#include "processing/cloud_decode.h"
#include "processing/colour_conversion.h"
#include "processing/fusion.h"
#include "processing/morphology.h"
#include "support/cloud_frame.h"

#if defined(TAVI_BENCH_WITH_OPENCV)
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 1024;
constexpr size_t kPixels = size_t{kWidth} * kHeight;

using tavi::bench::BestMilliseconds;

void Row(const char* operation, double ours, const char* alternative, double theirs) {
    std::printf("| %-32s | %8.2f | %-44s | %8.2f | %6.2fx |\n", operation, ours, alternative, theirs,
                theirs / ours);
}

[[maybe_unused]] void Missing(const char* operation, const char* alternative) {
    std::printf("| %-32s | %8s | %-44s | %8s | %7s |\n", operation, "", alternative, "n/a", "");
}

// A smooth colour scene with texture and sensor noise, so that no operation meets only flat data.
std::vector<uint8_t> MakeRgb() {
    std::vector<uint8_t> rgb(kPixels * 3);
    std::mt19937 random(11);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            uint8_t* p = &rgb[(size_t{y} * kWidth + x) * 3];
            const int base[3] = {static_cast<int>(128 + 100 * std::sin(x * 0.01)),
                                 static_cast<int>(128 + 100 * std::cos(y * 0.013)),
                                 static_cast<int>((x ^ y) & 0xFF)};
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint8_t>(std::clamp(base[c] + noise(random), 0, 255));
        }
    }
    return rgb;
}

std::vector<uint8_t> BayerOf(const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> raw(kPixels);
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) {
            const int channel = (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
            raw[size_t{y} * kWidth + x] = rgb[(size_t{y} * kWidth + x) * 3 + channel];
        }
    return raw;
}

std::vector<uint8_t> YuyvOf(const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> yuyv(kPixels * 2);
    for (size_t g = 0; g < kPixels / 2; ++g) {
        const uint8_t* p = &rgb[6 * g];
        auto luma = [](const uint8_t* q) {
            return static_cast<uint8_t>((77 * q[0] + 150 * q[1] + 29 * q[2]) >> 8);
        };
        yuyv[4 * g] = luma(p);
        yuyv[4 * g + 1] = static_cast<uint8_t>(std::clamp(128 + (p[2] - luma(p)) / 2, 0, 255));
        yuyv[4 * g + 2] = luma(p + 3);
        yuyv[4 * g + 3] = static_cast<uint8_t>(std::clamp(128 + (p[0] - luma(p)) / 2, 0, 255));
    }
    return yuyv;
}

// A depth scene in millimetres and the colour sensor 60 mm beside the depth sensor.
std::vector<float> MakePoints() {
    std::vector<float> xyz(kPixels * 3);
    std::mt19937 random(5);
    std::normal_distribution<float> noise(0.0f, 0.5f);
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) {
            float* p = &xyz[(size_t{y} * kWidth + x) * 3];
            const float z = 1000.0f + 0.3f * y + noise(random);
            p[0] = (x - 640.0f) * z / 1100.0f;
            p[1] = (y - 512.0f) * z / 1100.0f;
            p[2] = (x + y) % 97 == 0 ? 0.0f : z;
        }
    return xyz;
}

CmosCalibration ColourCalibration() {
    CmosCalibration c{};
    const float k[9] = {1150, 0, 642, 0, 1150, 509, 0, 0, 1};
    std::copy(k, k + 9, c.intrinsic);
    const float distortion[5] = {-0.08f, 0.02f, 0.001f, -0.0005f, 0.003f};
    std::copy(distortion, distortion + 5, c.distortion);
    const float angle = 0.01f;
    const float r[9] = {std::cos(angle), 0, std::sin(angle), 0, 1, 0, -std::sin(angle), 0, std::cos(angle)};
    std::copy(r, r + 9, c.rotation);
    c.translation[0] = -60;
    return c;
}

std::vector<int> MakeMask() {
    std::vector<int> mask(kPixels, 0);
    std::mt19937 random(9);
    for (int blob = 0; blob < 300; ++blob) {
        const int cx = static_cast<int>(random() % kWidth), cy = static_cast<int>(random() % kHeight);
        const int radius = static_cast<int>(5 + random() % 40);
        for (int y = std::max(0, cy - radius); y < std::min<int>(kHeight, cy + radius); ++y)
            for (int x = std::max(0, cx - radius); x < std::min<int>(kWidth, cx + radius); ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < radius * radius && random() % 20 != 0)
                    mask[size_t(y) * kWidth + x] = 255;
    }
    return mask;
}

PhotoInfo ImageFrame(uint32_t format, uint8_t* data, uint32_t payload) {
    PhotoInfo frame{};
    frame.data = data;
    frame.pixel_format = format;
    frame.width = kWidth;
    frame.height = kHeight;
    frame.payload_size = payload;
    return frame;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    char pattern[] = "/tmp/tavi-image-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::string ours_path = dir + "/ours.bmp", theirs_path = dir + "/theirs.bmp";
    std::string ours_png = dir + "/ours.png", theirs_png = dir + "/theirs.png";
    GigeCamera camera;
    bool identical = true;
#if defined(TAVI_BENCH_WITH_OPENCV)
    cv::setNumThreads(1);
#endif

    std::printf("1280 x 1024 frames, best of %d runs, milliseconds; ratio = alternative / ours\n\n", runs);
    std::printf("| %-32s | %8s | %-44s | %8s | %7s |\n", "operation", "ours", "alternative", "theirs",
                "ratio");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(34, '-').c_str(), std::string(10, '-').c_str(),
                std::string(46, '-').c_str(), std::string(10, '-').c_str(), std::string(9, '-').c_str());

    const std::vector<uint8_t> rgb = MakeRgb(), bayer = BayerOf(rgb), yuyv = YuyvOf(rgb);
    std::vector<uint8_t> out(kPixels * 3), reference(kPixels * 3);

    // ---- BayerRG8 -> RGB8
    const double demosaic = BestMilliseconds(
        runs, [&] { tavi::DemosaicBayerRG8OnThisCore(bayer.data(), kWidth, kHeight, out.data()); });
    const double demosaic_both =
        BestMilliseconds(runs, [&] { tavi::DemosaicBayerRG8(bayer.data(), kWidth, kHeight, out.data()); });
    Row("BayerRG8 -> RGB8", demosaic, "plain loop of the rules", BestMilliseconds(runs, [&] {
            tavi::DemosaicBayerRG8Reference(bayer.data(), kWidth, kHeight, reference.data());
        }));
    identical &= out == reference;
    Row("BayerRG8 frame, RawdataToRgb888",
        BestMilliseconds(runs,
                         [&] {
                             PhotoInfo frame = ImageFrame(
                                 kPixelBayerRG8, static_cast<uint8_t*>(std::malloc(kPixels)), kPixels);
                             std::memcpy(frame.data, bayer.data(), kPixels);
                             camera.RawdataToRgb888(frame);
                             std::free(frame.data);
                         }),
        "demosaic into a ready buffer, 2 cores", demosaic_both);
#if defined(TAVI_BENCH_WITH_OPENCV)
    {
        const cv::Mat source(kHeight, kWidth, CV_8UC1, const_cast<uint8_t*>(bayer.data()));
        cv::Mat converted;
        cv::cvtColor(source, converted, cv::COLOR_BayerRGGB2RGB);
        Row("BayerRG8 -> RGB8", demosaic, "cv::cvtColor BayerRGGB2RGB, 1 thread",
            BestMilliseconds(runs, [&] { cv::cvtColor(source, converted, cv::COLOR_BayerRGGB2RGB); }));
        cv::setNumThreads(2);
        Row("BayerRG8 -> RGB8, 2 cores", demosaic_both, "cv::cvtColor BayerRGGB2RGB, 2 threads",
            BestMilliseconds(runs, [&] { cv::cvtColor(source, converted, cv::COLOR_BayerRGGB2RGB); }));
        cv::setNumThreads(1);
    }
#else
    Missing("BayerRG8 -> RGB8", "cv::cvtColor BayerRGGB2RGB, 1 thread");
#endif

    // ---- YUV422_8 -> RGB8
    const double yuv =
        BestMilliseconds(runs, [&] { tavi::YuyvToRgbOnThisCore(yuyv.data(), kPixels / 2, out.data()); });
    const double yuv_both =
        BestMilliseconds(runs, [&] { tavi::YuyvToRgb(yuyv.data(), kPixels / 2, out.data()); });
    Row("YUV422_8 -> RGB8", yuv, "plain loop, double precision", BestMilliseconds(runs, [&] {
            tavi::YuyvToRgbReference(yuyv.data(), kPixels / 2, reference.data());
        }));
    identical &= out == reference;
#if defined(TAVI_BENCH_WITH_OPENCV)
    {
        const cv::Mat source(kHeight, kWidth, CV_8UC2, const_cast<uint8_t*>(yuyv.data()));
        cv::Mat converted;
        cv::cvtColor(source, converted, cv::COLOR_YUV2RGB_YUYV);
        Row("YUV422_8 -> RGB8", yuv, "cv::cvtColor YUV2RGB_YUYV, 1 thread",
            BestMilliseconds(runs, [&] { cv::cvtColor(source, converted, cv::COLOR_YUV2RGB_YUYV); }));
        cv::setNumThreads(2);
        Row("YUV422_8 -> RGB8, 2 cores", yuv_both, "cv::cvtColor YUV2RGB_YUYV, 2 threads",
            BestMilliseconds(runs, [&] { cv::cvtColor(source, converted, cv::COLOR_YUV2RGB_YUYV); }));
        cv::setNumThreads(1);
    }
#else
    Missing("YUV422_8 -> RGB8", "cv::cvtColor YUV2RGB_YUYV, 1 thread");
#endif

    // ---- projection and fusion of 1.31 M points
    const std::vector<float> xyz = MakePoints();
    const CmosCalibration calibration = ColourCalibration();
    const tavi::SensorModel model = tavi::ModelOf(calibration, 0, 0);
    // As for the conversions: the plain rows and the single-threaded alternatives face our path on
    // one core; the "2 cores" rows show what the library's calls run.
    std::vector<uint32_t> landing(kPixels), landing_reference(kPixels);
    const double project = BestMilliseconds(runs, [&] {
        tavi::LandingPixelsOnThisCore(xyz.data(), kPixels, model, kWidth, kHeight, landing.data());
    });
    Row("projection to pixels", project, "plain float loop", BestMilliseconds(runs, [&] {
            tavi::LandingPixelsReference(xyz.data(), kPixels, model, kWidth, kHeight,
                                         landing_reference.data());
        }));
    identical &= landing == landing_reference;
    const double project_both = BestMilliseconds(
        runs, [&] { tavi::LandingPixels(xyz.data(), kPixels, model, kWidth, kHeight, landing.data()); });
    identical &= landing == landing_reference;
    std::vector<float> fused(kPixels * 6), fused_reference(kPixels * 6);
    const tavi::ColourImage image{rgb.data(), kWidth, kHeight};
    const double fuse = BestMilliseconds(
        runs, [&] { tavi::FusePointsOnThisCore(xyz.data(), kPixels, model, image, fused.data()); });
    Row("fusion (colour every point)", fuse, "plain float loop", BestMilliseconds(runs, [&] {
            tavi::FusePointsReference(xyz.data(), kPixels, model, image, fused_reference.data());
        }));
    identical &= std::memcmp(fused.data(), fused_reference.data(), fused.size() * sizeof(float)) == 0;
    const double fuse_both =
        BestMilliseconds(runs, [&] { tavi::FusePoints(xyz.data(), kPixels, model, image, fused.data()); });
    identical &= std::memcmp(fused.data(), fused_reference.data(), fused.size() * sizeof(float)) == 0;
    Row("projection to pixels, 2 cores", project_both, "the same on 1 core", project);
    Row("fusion, 2 cores", fuse_both, "the same on 1 core", fuse);
#if defined(TAVI_BENCH_WITH_OPENCV)
    {
        const cv::Mat object(static_cast<int>(kPixels), 1, CV_32FC3, const_cast<float*>(xyz.data()));
        const cv::Matx33d rotation(calibration.rotation[0], calibration.rotation[1], calibration.rotation[2],
                                   calibration.rotation[3], calibration.rotation[4], calibration.rotation[5],
                                   calibration.rotation[6], calibration.rotation[7], calibration.rotation[8]);
        cv::Mat rvec;
        cv::Rodrigues(cv::Mat(rotation), rvec);
        const cv::Mat tvec = (cv::Mat_<double>(3, 1) << calibration.translation[0],
                              calibration.translation[1], calibration.translation[2]);
        const cv::Mat camera_matrix =
            (cv::Mat_<double>(3, 3) << calibration.intrinsic[0], 0, calibration.intrinsic[2], 0,
             calibration.intrinsic[4], calibration.intrinsic[5], 0, 0, 1);
        const cv::Mat distortion =
            (cv::Mat_<double>(1, 5) << calibration.distortion[0], calibration.distortion[1],
             calibration.distortion[2], calibration.distortion[3], calibration.distortion[4]);
        std::vector<cv::Point2f> projected;
        const double opencv = BestMilliseconds(std::max(1, runs / 2), [&] {
            cv::projectPoints(object, rvec, tvec, camera_matrix, distortion, projected);
        });
        // OpenCV runs on one thread here (set at the start).
        Row("projection to pixels", project, "cv::projectPoints, 1 thread", opencv);
        Row("fusion (colour every point)", fuse, "cv::projectPoints alone, 1 thread", opencv);
        Row("fusion, 2 cores", fuse_both, "cv::projectPoints alone, 1 thread", opencv);
    }
#else
    Missing("projection to pixels", "cv::projectPoints, 1 thread");
#endif

    // ---- morphology of an int32 mask
    const std::vector<int> mask = MakeMask();
    std::vector<int> result(kPixels), result_reference(kPixels);
    const double dilate =
        BestMilliseconds(runs, [&] { tavi::Dilate(mask.data(), kWidth, kHeight, result.data()); });
    Row("dilation 3 x 3", dilate, "plain loop of 3 x 3 sums", BestMilliseconds(runs, [&] {
            tavi::DilateReference(mask.data(), kWidth, kHeight, result_reference.data());
        }));
    identical &= result == result_reference;
    const double erode =
        BestMilliseconds(runs, [&] { tavi::ErodeCross(mask.data(), kWidth, kHeight, result.data()); });
    Row("erosion, cross", erode, "plain loop of 3 x 3 weighted sums", BestMilliseconds(runs, [&] {
            tavi::ErodeCrossReference(mask.data(), kWidth, kHeight, result_reference.data());
        }));
    identical &= result == result_reference;
#if defined(TAVI_BENCH_WITH_OPENCV)
    {
        const cv::Mat source(kHeight, kWidth, CV_32SC1, const_cast<int*>(mask.data()));
        cv::Mat bytes, dilated, back;
        const cv::Mat rect = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
        const cv::Mat cross = cv::getStructuringElement(cv::MORPH_CROSS, {3, 3});
        Row("dilation 3 x 3", dilate, "cv::dilate via 8-bit, and back", BestMilliseconds(runs, [&] {
                source.convertTo(bytes, CV_8U);
                cv::dilate(bytes, dilated, rect);
                dilated.convertTo(back, CV_32S);
            }));
        Row("erosion, cross", erode, "cv::erode via 8-bit, and back", BestMilliseconds(runs, [&] {
                source.convertTo(bytes, CV_8U);
                cv::erode(bytes, dilated, cross);
                dilated.convertTo(back, CV_32S);
            }));
    }
#else
    Missing("dilation 3 x 3", "cv::dilate via 8-bit, and back");
#endif

    // ---- files
    std::vector<uint8_t> rgb_copy = rgb;
    PhotoInfo rgb_frame = ImageFrame(kPixelRGB8, rgb_copy.data(), static_cast<uint32_t>(kPixels * 3));
    const double bmp = BestMilliseconds(runs, [&] { camera.SaveToBMP(rgb_frame, ours_path.data()); });
    Row("24-bit BMP file", bmp, "fwrite of the pixels", BestMilliseconds(runs, [&] {
            FILE* file = std::fopen(theirs_path.c_str(), "wb");
            std::fwrite(rgb.data(), 1, rgb.size(), file);
            std::fclose(file);
        }));
    std::vector<uint8_t> depth(kPixels * 6);
    for (size_t n = 0; n < kPixels; ++n) {
        const auto z = static_cast<uint16_t>(xyz[3 * n + 2] * 10);
        std::memcpy(&depth[6 * n + 4], &z, 2);
    }
    PhotoInfo depth_frame = tavi::test::CloudFrameOver(depth, kWidth, kHeight, 10);
    const double png =
        BestMilliseconds(std::max(1, runs / 2), [&] { camera.SaveDepthToPng(depth_frame, ours_png.data()); });
#if defined(TAVI_BENCH_WITH_OPENCV)
    {
        cv::Mat bgr(kHeight, kWidth, CV_8UC3);
        cv::cvtColor(cv::Mat(kHeight, kWidth, CV_8UC3, rgb_copy.data()), bgr, cv::COLOR_RGB2BGR);
        Row("24-bit BMP file", bmp, "cv::imwrite .bmp",
            BestMilliseconds(runs, [&] { cv::imwrite(theirs_path, bgr); }));
        cv::Mat z(kHeight, kWidth, CV_16UC1);
        for (size_t n = 0; n < kPixels; ++n) std::memcpy(z.ptr<uint16_t>() + n, &depth[6 * n + 4], 2);
        Row("16-bit depth PNG file", png, "cv::imwrite .png (Z plane given)",
            BestMilliseconds(std::max(1, runs / 2), [&] { cv::imwrite(theirs_png, z); }));
    }
#else
    Missing("24-bit BMP file", "cv::imwrite .bmp");
    Missing("16-bit depth PNG file", "cv::imwrite .png");
#endif

    std::printf("\nresults identical to the reference loops': %s\n", identical ? "yes" : "NO");
    std::filesystem::remove_all(dir);
    return identical ? 0 : 1;
}
