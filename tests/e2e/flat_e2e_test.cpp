// The flat interface against a virtual camera (run inside scripts/netns-run.sh with one camera): the C
// example drives discovery to saved files through the flat functions and their twins, and the table
// keeps its promises with live streams (an occupied slot refused, StreamOff emptying its slot,
// DestroyCamera leaving no thread or socket behind, the capture twins' copy rules).

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TaviSDK/FlatInterface.h"
#include "support/e2e_camera.h"
#include "support/temp_dir.h"
#include "support/virtual_camera_control.h"

namespace {

constexpr long long kCaptureWaitUs = 30'000'000;  // bounds a hang; a sanitizer build renders slowly
constexpr size_t kLargestFrame = 1280 * 1024 * 6;

int Threads() {
    int count = 0;
    DIR* directory = opendir("/proc/self/task");
    while (dirent* entry = readdir(directory)) count += entry->d_name[0] != '.';
    closedir(directory);
    return count;
}

uint32_t BigEndian32(const std::string& bytes, size_t at) {
    auto byte = [&](size_t n) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + n])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}
uint32_t LittleEndian32(const std::string& bytes, size_t at) {
    auto byte = [&](size_t n) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + n])); };
    return byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
}

class FlatE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(tavi::test::CameraAddressFromEnvironment(), 0u) << "run inside scripts/netns-run.sh";
        ASSERT_TRUE(control_.Set("clear", "1")) << "no virtual camera control socket";
    }
    void TearDown() override { DestroyCamera(); }

    // The camera found and connected as row 0.
    void Connect() {
        int found = 0;
        for (int round = 0; round < 3 && found <= 0; ++round) found = DiscoverCamera();
        ASSERT_EQ(found, 1);
        ASSERT_EQ(CreateCamera(), 1);
        ASSERT_EQ(CameraConnect(0), 0);
    }

    VirtualCameraControl control_{std::getenv("TAVI_CAMERA_0_CONTROL")};
};

// ---- the C example -------------------------------------------------------------------------------

TEST_F(FlatE2E, TheCExampleSavesEveryFileAndTheTwinsSaveTheSameBytes) {
    tavi::test::TempDirectory directory;
    const std::string command = std::string(TAVI_FLAT_EXAMPLE) + " " + directory.path().string() + " > " +
                                directory.PathOf("output.txt") + " 2>&1";
    const int status = std::system(command.c_str());
    const std::string output = directory.Read("output.txt");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("done"), std::string::npos) << output;

    const std::string pcd = directory.Read("cloud.pcd");
    EXPECT_NE(pcd.find("WIDTH 640\r\n"), std::string::npos);
    EXPECT_NE(pcd.find("HEIGHT 480\r\n"), std::string::npos);
    EXPECT_EQ(directory.Read("cloud.ply").rfind("ply\r\n", 0), 0u);
    const std::string png = directory.Read("depth.png");
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(BigEndian32(png, 16), 640u);
    EXPECT_EQ(BigEndian32(png, 20), 480u);
    EXPECT_EQ(png[24], 16) << "bit depth";
    const std::string bmp = directory.Read("colour.bmp");
    ASSERT_GT(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(LittleEndian32(bmp, 18), 640u);
    // A twin works on a private copy of the same frame: its files are the plain function's, byte for byte.
    for (const char* name : {"cloud", "depth", "colour"}) {
        for (const char* extension : {".pcd", ".ply", ".png", ".bmp"}) {
            const std::string plain = std::string(name) + extension;
            const std::string twin = std::string(name) + "-twin" + extension;
            if (!directory.Exists(plain)) continue;
            EXPECT_EQ(directory.Read(plain), directory.Read(twin)) << plain;
        }
    }
    EXPECT_EQ(directory.Read("captured-twin.ply").rfind("ply\r\n", 0), 0u);
}

// ---- features and names --------------------------------------------------------------------------

TEST_F(FlatE2E, FeaturesRegistersAndNodeNamesThroughTheFlatFunctions) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_EQ(SetExposureTime(0, 4321, 2), 0);
    EXPECT_EQ(GetExposureTime(0, 2), 4321);
    EXPECT_EQ(GetExposureTime(1, 2), -99);
    const int address = GetRegisterAddr(0, "ExposureTime");
    ASSERT_GT(address, 0);
    int value = 0;
    ASSERT_EQ(ReadRegister(0, static_cast<unsigned>(address) + 2 * 0x100, &value), 0);
    EXPECT_EQ(value, 4321);
    EXPECT_NE(GetTimestampTickFrequency(0), 0xFFFFFFFFFFFFFF9DULL);
    int status = 0;
    EXPECT_EQ(GetCameraCCPStatus(0, &status), 0);
    EXPECT_NE(status, -60);

    std::vector<char> names(4000 * 255, 'x');
    int count = 0;
    GetCameraXMLNodeNames(0, names.data(), &count);
    ASSERT_GT(count, 10);
    ASSERT_LT(count, 4000);
    bool exposure = false;
    for (int k = 0; k < count; ++k) {
        const char* slot = names.data() + 255 * k;
        ASSERT_NE(std::memchr(slot, '\0', 255), nullptr) << "slot " << k << " is terminated";
        exposure |= std::strcmp(slot, "ExposureTime") == 0;
    }
    EXPECT_TRUE(exposure);
    std::vector<std::string> list;
    GetCameraXMLNodeNamesCSharp(0, &list);
    EXPECT_EQ(static_cast<int>(list.size()), count);
}

// ---- stream slots --------------------------------------------------------------------------------

TEST_F(FlatE2E, AnOccupiedSlotIsRefusedAndItsStreamKeepsDelivering) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_EQ(StreamOn(0, 0), 0);
    EXPECT_EQ(StreamOn(0, 0), -2);
    EXPECT_EQ(GetBlockTimeout(0, 0), GetBlockTimeout(0, 0));
    EXPECT_EQ(StreamOff(0, 1), -99) << "only channel 0 is open";
    ASSERT_EQ(AcquisitionStart(0), 0);
    std::vector<unsigned char> buffer(kLargestFrame);
    PhotoInfo frame{};
    frame.data = buffer.data();
    EXPECT_EQ(TimeoutCapture(0, 0, &frame, kCaptureWaitUs), 0);
    EXPECT_EQ(frame.pixel_format, kPixelCoord3D_ABC16);
    EXPECT_EQ(AcquisitionStop(0), 0);
    EXPECT_EQ(StreamOff(0, 0), 0);
    EXPECT_EQ(Capture(0, 0, &frame), -98) << "StreamOff empties its slot";
    EXPECT_EQ(GetNetSpeed(0, 0), -98);
    EXPECT_EQ(StreamOff(0, 0), -99);
    EXPECT_EQ(StreamOn(0, 0), 0) << "an emptied slot opens again";
}

TEST_F(FlatE2E, DestroyCameraClosesStreamsAndDisconnectsSoNothingOutlivesIt) {
    const int threads = Threads(), descriptors = tavi::test::OpenDescriptors();
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_EQ(StreamOn(0, 0), 0);
    ASSERT_EQ(StreamOn(0, 2), 0);
    ASSERT_EQ(AcquisitionStart(0), 0);
    EXPECT_GT(Threads(), threads);
    DestroyCamera();
    EXPECT_EQ(Threads(), threads) << "heartbeat and receive threads joined";
    EXPECT_EQ(tavi::test::OpenDescriptors(), descriptors) << "control and stream sockets closed";
    // The camera got its privilege back: a new table connects at once.
    ASSERT_EQ(CreateCamera(), 1);
    EXPECT_EQ(CameraConnect(0), 0);
}

// ---- capture twins -------------------------------------------------------------------------------

TEST_F(FlatE2E, CaptureTwinsCopyTheHeaderAndTheirLengthOfBytes) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_EQ(StreamOn(0, 0), 0);

    StatisticsHeaderCSharp statistics{};
    std::vector<unsigned char> buckets(8000 + 8, 0xEE);
    GetRecieveTimeStatisticsCSharp(0, 0, &statistics, buckets.data());
    EXPECT_EQ(statistics.bucket_width, 1000u);
    EXPECT_EQ(statistics.bucket_count, 1000);
    EXPECT_EQ(statistics.min_time, 1000000);
    EXPECT_TRUE(std::all_of(buckets.begin(), buckets.begin() + 8000, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(buckets[8000], 0xEE) << "nothing past bucket_count x 8 bytes";

    // Nothing streams yet: a failed capture hands over zeros and still answers 0.
    PhotoInfoCSharp header;
    std::memset(&header, 0x5A, sizeof header);
    std::vector<unsigned char> buffer(2000, 0xAB);
    EXPECT_EQ(TryCaptureCSharp(0, 0, &header, buffer.data(), 1000), 0);
    EXPECT_EQ(header.payload_size, 0u);
    EXPECT_EQ(header.width, 0u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 1000, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(buffer[1000], 0xAB);

    // A length shorter than the frame: the header is whole, the buffer gets its length and no more.
    ASSERT_EQ(AcquisitionStart(0), 0);
    ASSERT_EQ(TimeoutCaptureCSharp(0, 0, &header, buffer.data(), 1000, kCaptureWaitUs), 0);
    EXPECT_EQ(header.pixel_format, kPixelCoord3D_ABC16);
    EXPECT_EQ(header.payload_size, header.width * header.height * 6);
    EXPECT_GT(header.payload_size, 1000u);
    EXPECT_EQ(buffer[1000], 0xAB);
    EXPECT_EQ(CaptureCSharp(0, 1, &header, buffer.data(), 1000), -98) << "no stream on channel 1";
    EXPECT_EQ(CaptureCSharp(0, 0, &header, nullptr, 10), -98) << "no buffer for the bytes";
}

}  // namespace
