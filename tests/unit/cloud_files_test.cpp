#include "export/cloud_files.h"

#include <cstring>

#include "cloud_test_support.h"

using cloud_test::CloudCameraTest;
using cloud_test::RawCloud;
using cloud_test::ReadFile;

namespace {

constexpr char kPlyHeaderStart[] = "ply\r\nformat ascii 1.0\r\nelement vertex ";
constexpr char kPlyHeaderEnd[] =
    "\r\nproperty float x\r\nproperty float y\r\nproperty float z\r\nend_header\r\n";

std::string PcdHeader(int width, int height, int points) {
    return "# .PCD v0.7 - Point Cloud Data file format\r\nVERSION 0.7\r\nFIELDS x y z\r\nSIZE 4 4 4\r\n"
           "TYPE F F F\r\nCOUNT 1 1 1\r\nWIDTH " +
           std::to_string(width) + "\r\nHEIGHT " + std::to_string(height) +
           "\r\nVIEWPOINT 0 0 0 1 0 0 0\r\nPOINTS " + std::to_string(points) + "\r\nDATA binary\r\n";
}

std::string Words(std::initializer_list<uint32_t> words) {
    std::string bytes;
    for (uint32_t word : words) bytes.append(reinterpret_cast<const char*>(&word), 4);
    return bytes;
}

// The 2 x 1 cloud: (10, -20, 300) at unit 10, and a point without measurement.
RawCloud ExampleCloud() {
    RawCloud cloud(2, 1, 10);
    cloud.Set(0, 10, -20, 300);
    cloud.Set(1, 7, 8, 0);
    return cloud;
}

std::string ReferenceText(PhotoInfo frame, bool ply) {
    char* text = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&text, &size);
    tavi::WritePointTextReference(frame, memory, ply);
    std::fclose(memory);
    std::string result(text, size);
    std::free(text);
    return result;
}

}  // namespace

class CloudFiles : public CloudCameraTest {
  protected:
    using Writer = int (GigeCamera::*)(PhotoInfo&, char*);
    int Save(Writer writer, PhotoInfo frame, const std::string& name) {
        std::string path = name.starts_with("/") ? name : PathOf(name).string();
        return (camera_.*writer)(frame, path.data());
    }
    std::string Written(Writer writer, PhotoInfo frame) {
        EXPECT_EQ(Save(writer, frame, "out"), 0);
        return ReadFile(PathOf("out"));
    }
};

TEST_F(CloudFiles, PcdOfTheExampleCloudHasItsHeaderAndANanMissingPoint) {
    RawCloud cloud = ExampleCloud();
    EXPECT_EQ(
        Written(&GigeCamera::SavePointCloudToPcd, cloud.Frame()),
        PcdHeader(2, 1, 2) + Words({0x3F800000, 0xC0000000, 0x41F00000, 0xFFC00000, 0xFFC00000, 0xFFC00000}));
}

TEST_F(CloudFiles, PlyAndTextOfTheExampleCloudHoldTheOneValidPoint) {
    RawCloud cloud = ExampleCloud();
    EXPECT_EQ(Written(&GigeCamera::SavePointCloudToPly, cloud.Frame()),
              std::string(kPlyHeaderStart) + "1" + kPlyHeaderEnd + "1.00 -2.00 30.00 \r\n");
    EXPECT_EQ(Written(&GigeCamera::SavePointCloudToTxt, cloud.Frame()), "1.00 -2.00 30.00 \r\n");
}

TEST_F(CloudFiles, CloudWithoutValidPointsGivesAnEmptyBody) {
    RawCloud cloud(3, 2, 1);
    cloud.Set(4, 9, 9, 0);
    EXPECT_EQ(Written(&GigeCamera::SavePointCloudToPly, cloud.Frame()),
              std::string(kPlyHeaderStart) + "0" + kPlyHeaderEnd);
    EXPECT_EQ(Written(&GigeCamera::SavePointCloudToTxt, cloud.Frame()), "");
    const std::string pcd = Written(&GigeCamera::SavePointCloudToPcd, cloud.Frame());
    EXPECT_EQ(pcd.size(), PcdHeader(3, 2, 6).size() + 72);
    RawCloud empty(0, 0, 1);
    empty.bytes.resize(1);  // a frame without points still has a data block
    EXPECT_EQ(Written(&GigeCamera::SavePointCloudToPcd, empty.Frame()), PcdHeader(0, 0, 0));
}

TEST_F(CloudFiles, FusedRecordsWithDepthBecomeLinesEndedByLf) {
    RawCloud cloud(3, 1, 1);
    float records[18] = {0.5f,  1.25f, 700.0f, 12.9f, 200.0f, 255.0f,  //
                         1.0f,  1.0f,  0.0f,   1.0f,  2.0f,   3.0f,    //
                         -3.0f, 0.0f,  2.5f,   0.0f,  0.0f,   0.0f};
    std::string path = PathOf("fused").string();
    PhotoInfo frame = cloud.Frame();
    ASSERT_EQ(camera_.SavePointCloudWithImageToTxt(frame, records, path.data()), 0);
    EXPECT_EQ(ReadFile(path), "0.50 1.25 700.00 12 200 255\n-3.00 0.00 2.50 0 0 0\n");
}

TEST_F(CloudFiles, BadInputIsRejectedWithoutCreatingAFile) {
    RawCloud cloud = ExampleCloud();
    PhotoInfo mono = cloud.Frame();
    mono.pixel_format = kPixelMono8;
    for (Writer writer : {&GigeCamera::SavePointCloudToPcd, &GigeCamera::SavePointCloudToPly,
                          &GigeCamera::SavePointCloudToTxt}) {
        EXPECT_EQ(Save(writer, mono, "mono"), -2);
        PhotoInfo frame = cloud.Frame();
        EXPECT_EQ((camera_.*writer)(frame, nullptr), -2);
    }
    float records[12] = {};
    std::string path = PathOf("mono").string();
    EXPECT_EQ(camera_.SavePointCloudWithImageToTxt(mono, records, path.data()), -2);
    PhotoInfo frame = cloud.Frame();
    EXPECT_EQ(camera_.SavePointCloudWithImageToTxt(frame, nullptr, path.data()), -2);
    EXPECT_FALSE(std::filesystem::exists(PathOf("mono")));
    const std::string log = LogText();
    for (const char* line : {"[function:SavePointCloudToPcd] Failed to save point cloud data due to the "
                             "pixel_format error, error code: -2",
                             "[function:SavePointCloudToPly] Failed to save point cloud data due to the "
                             "incoming parameters error, error "
                             "code: -2",
                             "[function:SavePointCloudToTxt] Failed to save point cloud data due to the "
                             "incoming parameters error, error "
                             "code: -2",
                             "[function:SavePointCloudWithImageToTxt] Failed to save data due to the "
                             "incoming parameters error, error "
                             "code: -2"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

TEST_F(CloudFiles, PathInAMissingDirectoryFailsToOpen) {
    RawCloud cloud = ExampleCloud();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Save(&GigeCamera::SavePointCloudToPly, cloud.Frame(), "no/such/dir.ply"), -42);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file error\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(Save(&GigeCamera::SavePointCloudToTxt, cloud.Frame(), "no/such/dir.txt"), -42);
    EXPECT_EQ(Save(&GigeCamera::SavePointCloudToPcd, cloud.Frame(), "no/such/dir.pcd"), -41);
    float records[12] = {};
    std::string path = PathOf("no/such/dir.fused").string();
    PhotoInfo frame = cloud.Frame();
    EXPECT_EQ(camera_.SavePointCloudWithImageToTxt(frame, records, path.data()), -42);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string log = LogText();
    for (const char* line :
         {"[function:SavePointCloudToPly] Failed to save point cloud data due to open the file error, error "
          "code: -42",
          "[function:SavePointCloudToTxt] Failed to save point cloud data due to open the file error, error "
          "code: -42",
          "[function:SavePointCloudToPcd] Failed to save point cloud data, error code: -41",
          "[function:SavePointCloudWithImageToTxt] Failed to save data due to open the file error, error "
          "code: -42"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

// A full disk: every writer reports -41 instead of success.
TEST_F(CloudFiles, FullDiskIsAWriteFailureForEveryWriter) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    RawCloud cloud = cloud_test::RandomCloud(200, 100, 1, 3);
    for (Writer writer : {&GigeCamera::SavePointCloudToPcd, &GigeCamera::SavePointCloudToPly,
                          &GigeCamera::SavePointCloudToTxt}) {
        EXPECT_EQ(Save(writer, cloud.Frame(), "/dev/full"), -41);
    }
    RawCloud tiny = ExampleCloud();  // a few bytes that only reach the disk when the file is closed
    EXPECT_EQ(Save(&GigeCamera::SavePointCloudToTxt, tiny.Frame(), "/dev/full"), -41);
    std::vector<float> records(cloud.Points() * 6, 5.0f);
    std::string path = "/dev/full";
    PhotoInfo frame = cloud.Frame();
    EXPECT_EQ(camera_.SavePointCloudWithImageToTxt(frame, records.data(), path.data()), -41);
    const std::string log = LogText();
    EXPECT_NE(log.find("[function:SavePointCloudToPly] Failed to save point cloud data, error code: -41"),
              std::string::npos);
    EXPECT_NE(log.find("[function:SavePointCloudWithImageToTxt] Failed to save data, error code: -41"),
              std::string::npos);
}

// Large enough that both cores format, with values that exercise rounding: the files must be the
// bytes of one fprintf("%.2f ") per value.
TEST_F(CloudFiles, FastTextWritersMatchFprintfByteForByte) {
    for (uint32_t unit : {1u, 7u, 1000u}) {
        RawCloud cloud = cloud_test::RandomCloud(400, 300, unit, unit);
        for (size_t n = 0; n < 4000; ++n)
            cloud.Set(n * 30, static_cast<int>(n) * 16 - 32768, -static_cast<int>(n),
                      65535 - static_cast<int>(n));
        EXPECT_EQ(Written(&GigeCamera::SavePointCloudToPly, cloud.Frame()),
                  ReferenceText(cloud.Frame(), true));
        EXPECT_EQ(Written(&GigeCamera::SavePointCloudToTxt, cloud.Frame()),
                  ReferenceText(cloud.Frame(), false));
    }
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(-5000.0f, 5000.0f), colour(0.0f, 255.99f);
    RawCloud cloud(300, 300, 1);
    std::vector<float> records(cloud.Points() * 6);
    for (size_t n = 0; n < cloud.Points(); ++n) {
        for (int i = 0; i < 3; ++i) records[6 * n + i] = value(random);
        for (int i = 3; i < 6; ++i) records[6 * n + i] = colour(random);
    }
    std::string path = PathOf("fused").string();
    PhotoInfo frame = cloud.Frame();
    ASSERT_EQ(camera_.SavePointCloudWithImageToTxt(frame, records.data(), path.data()), 0);
    char* text = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&text, &size);
    tavi::WriteFusedTextReference(records.data(), cloud.Points(), memory);
    std::fclose(memory);
    EXPECT_EQ(ReadFile(path), std::string(text, size));
    std::free(text);
}

// A header that claims more points than the payload holds: the PCD still has the points of its header
// (the missing ones as NaN), the text files only the points the payload holds.
TEST_F(CloudFiles, ShortPayloadWritesMissingPointsAndReadsNothingPastIt) {
    RawCloud cloud = ExampleCloud();
    cloud.Set(1, 10, 10, 10);
    PhotoInfo frame = cloud.Frame();
    frame.height = 3;
    EXPECT_EQ(Written(&GigeCamera::SavePointCloudToPcd, frame),
              PcdHeader(2, 3, 6) +
                  Words({0x3F800000, 0xC0000000, 0x41F00000, 0x3F800000, 0x3F800000, 0x3F800000}) +
                  std::string(48, '\0').replace(
                      0, 48,
                      Words({0xFFC00000, 0xFFC00000, 0xFFC00000, 0xFFC00000, 0xFFC00000, 0xFFC00000,
                             0xFFC00000, 0xFFC00000, 0xFFC00000, 0xFFC00000, 0xFFC00000, 0xFFC00000})));
    EXPECT_EQ(Written(&GigeCamera::SavePointCloudToTxt, frame), "1.00 -2.00 30.00 \r\n1.00 1.00 1.00 \r\n");
}
