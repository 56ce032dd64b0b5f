// The flat interface without a network: what every function answers before the camera table exists,
// for a missing row or slot and for indices and channels out of bounds, how the table lives across
// creations and rediscoveries, and the managed-caller twins' copy rules on frames that need no camera
// connection. (Connected behaviour is the end-to-end suite's.)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TaviSDK/FlatInterface.h"
#include "api/flat_state.h"
#include "support/fake_camera.h"
#include "support/temp_dir.h"
#include "unit/cloud_test_support.h"

namespace {

constexpr unsigned long long kNoCameraWide = 0xFFFFFFFFFFFFFF9DULL;

DiscoveryInfo Record(uint32_t camera_ip, const char* serial) {
    DiscoveryInfo info{};
    info.camera_ip = camera_ip;
    info.camera_mask = 0xFFFF0000u;
    info.pc_ip = camera_ip + 1;
    info.pc_mask = 0xFFFF0000u;
    std::strncpy(info.serial_number, serial, sizeof info.serial_number);
    std::strncpy(info.device_version, "1.2.3", sizeof info.device_version);
    return info;
}

// The process-wide list holds `count` made-up records (discovery itself would broadcast), and the
// table is gone after every test.
class FlatInterface : public ::testing::Test {
  protected:
    void SetUp() override { DestroyCamera(); }
    void TearDown() override {
        DestroyCamera();
        tavi::api::State().list.clear();
    }
    static void ListOf(int count) {
        auto& list = tavi::api::State().list;
        list.clear();
        for (int n = 0; n < count; ++n)
            list.push_back(Record(0xA9FE2A10u + static_cast<uint32_t>(n), "TV00"));
    }
};

// ---- before CreateCamera, and out of bounds ------------------------------------------------------

TEST_F(FlatInterface, CameraFunctionsBeforeCreateCameraGiveTheirMissingResults) {
    ListOf(1);
    EXPECT_EQ(AcquisitionStart(0), -99);
    EXPECT_EQ(CameraConnect(0), -99);
    EXPECT_EQ(GetExposureTime(0, 0), -99);
    EXPECT_EQ(SetRoi(0, 0, 8, 8, 0, 0), -99);
    EXPECT_EQ(GetRegisterAddr(0, "Width"), -99);
    EXPECT_EQ(StreamOn(0, 0), -99);
    EXPECT_EQ(StreamOff(0, 0), -99);
    EXPECT_EQ(FirmwareUpgrade(0, "firmware.bin"), -99);
    EXPECT_STREQ(CameraVerions(0), "");
    EXPECT_STREQ(SDKVersion(0), "");
    EXPECT_EQ(GetTimestampValue(0), kNoCameraWide);
    EXPECT_EQ(GetCloudPlaneX(0, nullptr, nullptr), 0);
    EXPECT_EQ(SpatialFilterPointcloud(0, nullptr, 3), 0);
    PhotoInfo frame{};
    EXPECT_EQ(SaveToBMP(0, &frame, const_cast<char*>("x.bmp")), -99);
    EXPECT_EQ(Capture(0, 0, &frame), -98);
    EXPECT_EQ(GetBlockTimeout(0, 0), -99);
    EXPECT_EQ(GetBlockRate(0, 0), -98.0f);
    EXPECT_EQ(GetPacketResendRatio(0, 0), -98.0);
    EXPECT_EQ(GetResendRequest(0, 0), -98);
}

TEST_F(FlatInterface, TheListFunctionsWorkWithoutATable) {
    ListOf(2);
    EXPECT_STREQ(CameraIP(1), "169.254.42.17");
    EXPECT_TRUE(WhetherIsSameSegment(0));
    EXPECT_STREQ(CameraIP(2), "") << "an index past the list";
    EXPECT_FALSE(WhetherIsSameSegment(-1));
    EXPECT_EQ(ForceIP(2, const_cast<char*>("169.254.1.1"), const_cast<char*>("255.255.0.0"),
                      const_cast<char*>("0.0.0.0")),
              -99);
}

TEST_F(FlatInterface, CCPStatusOfAMissingCameraIsMinus60) {
    int status = 1234;
    EXPECT_EQ(GetCameraCCPStatus(5, &status), -99);
    EXPECT_EQ(status, -60);
    EXPECT_EQ(GetCameraCCPStatus(5, nullptr), -99);
}

TEST_F(FlatInterface, ReadRegisterOfAMissingCameraLeavesTheValue) {
    int value = 0x5A5A;
    EXPECT_EQ(ReadRegister(0, 0x0A00, &value), -99);
    EXPECT_EQ(value, 0x5A5A);
}

TEST_F(FlatInterface, TickFrequencyOfAMissingCameraIsMinus99WidenedTo64Bits) {
    EXPECT_EQ(GetTimestampTickFrequency(0), kNoCameraWide);
    EXPECT_EQ(GetTimestampTickFrequency(-3), kNoCameraWide);
}

TEST_F(FlatInterface, NodeNamesOfAMissingCameraCountMinusOne) {
    int count = 7;
    char names[255] = "untouched";
    GetCameraXMLNodeNames(0, names, &count);
    EXPECT_EQ(count, -1);
    EXPECT_STREQ(names, "untouched");
}

TEST_F(FlatInterface, TheBoundedStringReadEmptiesItsBufferAndGivesACode) {
    char text[8] = "stale";
    EXPECT_EQ(ReadStringRegisterBounded(0, "DeviceUserID", text, sizeof text), -99);
    EXPECT_STREQ(text, "");
    ListOf(1);
    ASSERT_EQ(CreateCamera(), 1);
    std::strcpy(text, "stale");
    EXPECT_EQ(ReadStringRegisterBounded(0, "DeviceUserID", text, sizeof text), -11);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(ReadStringRegisterBounded(0, "DeviceUserID", nullptr, sizeof text), -2);
    std::strcpy(text, "stale");
    EXPECT_EQ(ReadStringRegisterBounded(0, "DeviceUserID", text, 0), -2);
    EXPECT_STREQ(text, "stale") << "no byte is written into a buffer of no bytes";
}

TEST_F(FlatInterface, IndicesAndChannelsOutsideTheTableAreMissing) {
    ListOf(2);
    ASSERT_EQ(CreateCamera(), 2);
    PhotoInfo frame{};
    for (int index : {-1, 2, 1 << 30}) {
        EXPECT_EQ(AcquisitionStart(index), -99) << index;
        EXPECT_EQ(GetTimestampTickFrequency(index), kNoCameraWide) << index;
        EXPECT_EQ(Capture(index, 0, &frame), -98) << index;
    }
    EXPECT_EQ(Capture(0, 3, &frame), -98);
    EXPECT_EQ(GetNetSpeed(0, 0xFFFF), -98);
    EXPECT_EQ(GetResendRequest(0, -1), -98);
    EXPECT_EQ(GetResendRequest(0, 3), -98);
    EXPECT_EQ(StreamOff(0, 3), -99);
    EXPECT_EQ(StreamOn(0, 3), -33) << "a channel the table has no slot for is not opened";
}

// ---- the table ---------------------------------------------------------------------------------

TEST_F(FlatInterface, AnEmptyListMakesNoTable) {
    ListOf(0);
    EXPECT_EQ(CreateCamera(), 0);
    EXPECT_EQ(AcquisitionStart(0), -99);
}

TEST_F(FlatInterface, ARowHoldsAnUnconnectedCameraAndEmptySlots) {
    ListOf(1);
    ASSERT_EQ(CreateCamera(), 1);
    EXPECT_EQ(AcquisitionStart(0), -11);
    EXPECT_EQ(StreamOn(0, 0), -11);
    PhotoInfo frame{};
    EXPECT_EQ(Capture(0, 0, &frame), -98) << "no stream before StreamOn";
    EXPECT_EQ(GetBlockTimeout(0, 0), -99);
    EXPECT_EQ(StreamOff(0, 1), -99) << "an empty slot";
    EXPECT_STRNE(SDKVersion(0), "");
    int count = 7;
    GetCameraXMLNodeNames(0, nullptr, &count);
    EXPECT_EQ(count, 0);
}

TEST_F(FlatInterface, NullStatisticsOutputsAreSkippedAndAMissingStreamGivesZeros) {
    unsigned int complete = 9, flushed = 9, received = 9, duplicates = 9;
    GetBlockStatistics(0, 0, &complete, nullptr, nullptr, nullptr, &flushed, nullptr, nullptr, nullptr);
    GetPacketStatistics(0, 0, &received, nullptr, nullptr, nullptr, nullptr, nullptr, &duplicates);
    EXPECT_EQ(complete + flushed + received + duplicates, 0u);
    StatisticsData statistics;
    statistics.max_time = 77;
    GetRecieveTimeStatistics(0, 0, &statistics);
    GetRecieveTimeStatistics(0, 0, nullptr);
    EXPECT_EQ(statistics.max_time, 77);
}

TEST_F(FlatInterface, CreatingTwiceReplacesTheTableWithoutLosingTheFirst) {
    ListOf(2);
    ASSERT_EQ(CreateCamera(), 2);
    ListOf(3);
    ASSERT_EQ(CreateCamera(), 3);  // the sanitizer build finds the first table's cameras freed
    EXPECT_EQ(AcquisitionStart(2), -11);
}

TEST_F(FlatInterface, ARediscoveryBetweenCreateAndDestroyIsHarmless) {
    ListOf(3);
    ASSERT_EQ(CreateCamera(), 3);
    ListOf(1);
    EXPECT_EQ(AcquisitionStart(2), -11) << "the table keeps its rows";
    EXPECT_EQ(CameraConnect(2), -99) << "but row 2 has no record any more";
    EXPECT_STREQ(CameraVerions(2), "");
    DestroyCamera();  // releases all three rows
    EXPECT_EQ(AcquisitionStart(0), -99);
}

TEST_F(FlatInterface, AnEmptyListKeepsAnExistingTable) {
    ListOf(1);
    ASSERT_EQ(CreateCamera(), 1);
    ListOf(0);
    EXPECT_EQ(CreateCamera(), 0);
    EXPECT_EQ(AcquisitionStart(0), -11);
}

// ---- a connected camera (a scripted peer on the loopback) ----------------------------------------

TEST_F(FlatInterface, LongNodeNamesAreCutToFitTheir255ByteSlots) {
    const std::string long_name = "Device" + std::string(294, 'U');
    std::string description = tavi::test::kFakeDescription;
    for (size_t at = description.find("DeviceUserID"); at != std::string::npos;
         at = description.find("DeviceUserID", at + long_name.size())) {
        description.replace(at, 12, long_name);
    }
    tavi::test::FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    fake.SetDescription("Local:fake.xml", tavi::test::TextBytes(description));
    tavi::api::State().list.assign(1, fake.Info(1500, "FLAT01"));
    ASSERT_EQ(CreateCamera(), 1);
    ASSERT_EQ(CameraConnect(0), 0);

    std::vector<char> names(255 * 64, 'x');
    int count = 0;
    GetCameraXMLNodeNames(0, names.data(), &count);
    ASSERT_GT(count, 0);
    ASSERT_LT(count, 64);
    std::vector<std::string> slots;
    for (int k = 0; k < count; ++k) slots.emplace_back(names.data() + 255 * k);
    EXPECT_NE(std::find(slots.begin(), slots.end(), long_name.substr(0, 254)), slots.end());
    EXPECT_NE(std::find(slots.begin(), slots.end(), "Width"), slots.end());
    EXPECT_EQ(names[255 * count], 'x') << "nothing written past the last slot";
    std::vector<std::string> whole;
    GetCameraXMLNodeNamesCSharp(0, &whole);
    EXPECT_NE(std::find(whole.begin(), whole.end(), long_name), whole.end()) << "the twin's list is not cut";

    int value = 0x5A5A;
    EXPECT_EQ(ReadRegister(0, 0x0904, &value), 0);
    EXPECT_EQ(value, 3) << "the stream channel count";
    int status = 0;
    EXPECT_EQ(GetCameraCCPStatus(0, &status), 0);
    EXPECT_NE(status, -60);
    EXPECT_EQ(CameraDisconnect(0), 0);
}

// ---- null frames never reach the class operations ------------------------------------------------

TEST_F(FlatInterface, NullFramesAreAnsweredByTheFlatLayer) {
    ListOf(1);
    ASSERT_EQ(CreateCamera(), 1);
    short plane[4] = {};
    PhotoInfo frame{};
    char path[] = "unused";
    EXPECT_EQ(GetCloudPlaneX(0, nullptr, plane), 0);
    EXPECT_EQ(GetCloudPlaneZ(0, &frame, nullptr), 0);
    EXPECT_EQ(GetCloudPlaneY(0, nullptr, plane), -2);
    EXPECT_EQ(GetCloudPlaneY(0, &frame, nullptr), 0);
    EXPECT_EQ(SaveCloudPlane(0, &frame, plane, nullptr), 0);
    EXPECT_EQ(SpatialFilterPointcloud(0, nullptr, 2), 0);
    EXPECT_EQ(Fusion3DToRGB(0, &frame, nullptr, &frame), -99);
    EXPECT_EQ(FusionImageTo3D(0, nullptr, &frame, nullptr), -99);
    EXPECT_EQ(SavePointCloudToPcd(0, nullptr, path), -99);
    EXPECT_EQ(SavePointCloudWithImageToTxt(0, nullptr, nullptr, path), -99);
    EXPECT_EQ(TryCapture(0, 0, nullptr), -98);
    EXPECT_EQ(SaveXmlToLocal(0, nullptr), -2);
    Convert3DPointFromCharToFloat(0, nullptr, nullptr);
    FilterPointCloud(0, nullptr, 1.0);
    RawdataToRgb888(0, nullptr);
    PixelSwell(0, nullptr, nullptr);
    RoiPoint rect{};
    ROIMappingCoordinate(0, nullptr, &frame, nullptr);
    ROIPixelMapping(0, &frame, &frame, nullptr, &rect, nullptr);
}

// ---- managed-caller twins ------------------------------------------------------------------------

PhotoInfoCSharp HeaderOf(const PhotoInfo& frame) {
    PhotoInfoCSharp header{};
    header.pixel_format = frame.pixel_format;
    header.width = frame.width;
    header.height = frame.height;
    header.cloud_unit = frame.cloud_unit;
    header.payload_size = frame.payload_size;
    header.block_id = 17;
    return header;
}

class FlatTwins : public FlatInterface {
  protected:
    void SetUp() override {
        FlatInterface::SetUp();
        ListOf(1);
        ASSERT_EQ(CreateCamera(), 1);
    }
    cloud_test::RawCloud cloud_ = cloud_test::RandomCloud(16, 8, 10, 7);
};

TEST_F(FlatTwins, CaptureTwinsWithoutAStreamLeaveHeaderAndBufferUntouched) {
    PhotoInfoCSharp header{};
    header.width = 99;
    unsigned char buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(CaptureCSharp(0, 0, &header, buffer, sizeof buffer), -98);
    EXPECT_EQ(TryCaptureCSharp(0, 2, &header, buffer, sizeof buffer), -98);
    EXPECT_EQ(TimeoutCaptureCSharp(1, 0, &header, buffer, sizeof buffer, 1000), -98);
    EXPECT_EQ(header.width, 99u);
    EXPECT_EQ(buffer[7], 8);
    StatisticsHeaderCSharp statistics{};
    statistics.bucket_width = 5;
    GetRecieveTimeStatisticsCSharp(0, 0, &statistics, nullptr);
    EXPECT_EQ(statistics.bucket_width, 5u);
}

TEST_F(FlatTwins, PointsAndPlanesFromAPrivateCopyMatchThePlainFunctions) {
    PhotoInfo frame = cloud_.Frame();
    PhotoInfoCSharp header = HeaderOf(frame);
    const int size = static_cast<int>(cloud_.bytes.size());
    std::vector<float> plain(cloud_.Points() * 3, -1.0f), twin(cloud_.Points() * 3, -2.0f);
    Convert3DPointFromCharToFloat(0, &frame, plain.data());
    Convert3DPointFromCharToFloatCSharp(0, &header, cloud_.bytes.data(), size, twin.data());
    EXPECT_EQ(plain, twin);
    std::vector<short> plain_z(cloud_.Points()), twin_z(cloud_.Points(), 1);
    EXPECT_EQ(GetCloudPlaneZ(0, &frame, plain_z.data()), 0);
    EXPECT_EQ(GetCloudPlaneZCSharp(0, &header, cloud_.bytes.data(), size, twin_z.data()), 0);
    EXPECT_EQ(plain_z, twin_z);
}

TEST_F(FlatTwins, AShortBufferIsPaddedWithZerosUpToThePayloadSize) {
    PhotoInfo frame = cloud_.Frame();
    PhotoInfoCSharp header = HeaderOf(frame);
    std::vector<float> points(cloud_.Points() * 3, -1.0f);
    // Only the first point's bytes are handed over: the rest decode as no measurement.
    Convert3DPointFromCharToFloatCSharp(0, &header, cloud_.bytes.data(), 6, points.data());
    for (size_t n = 3; n < points.size(); ++n) ASSERT_EQ(points[n], 0.0f) << n;
}

TEST_F(FlatTwins, FiltersWorkOnAPrivateCopyOnly) {
    const std::vector<uint8_t> before = cloud_.bytes;
    PhotoInfo frame = cloud_.Frame();
    PhotoInfoCSharp header = HeaderOf(frame);
    const int size = static_cast<int>(cloud_.bytes.size());
    FilterPointCloudCSharp(0, &header, cloud_.bytes.data(), size, 1.0);
    EXPECT_GE(SpatialFilterPointcloudCSharp(0, &header, cloud_.bytes.data(), size, 50), 0);
    EXPECT_EQ(cloud_.bytes, before);
}

TEST_F(FlatTwins, FramesThatCannotBeBuiltCountAsMissing) {
    PhotoInfoCSharp header = HeaderOf(cloud_.Frame());
    short plane[1] = {};
    char path[] = "never-written.pcd";
    EXPECT_EQ(SavePointCloudToPcdCSharp(0, nullptr, cloud_.bytes.data(), 6, path), -99);
    EXPECT_EQ(SavePointCloudToPcdCSharp(0, &header, cloud_.bytes.data(), -1, path), -99);
    EXPECT_EQ(SavePointCloudToPcdCSharp(0, &header, nullptr, 6, path), -99);
    EXPECT_EQ(SavePointCloudToPcdCSharp(1, &header, cloud_.bytes.data(), 6, path), -99);
    EXPECT_EQ(GetCloudPlaneXCSharp(1, &header, cloud_.bytes.data(), 6, plane), 0);
    EXPECT_EQ(SaveCloudPlaneCSharp(0, nullptr, nullptr, 0, plane, path), 0);
    EXPECT_EQ(
        Fusion3DToRGBCSharp(0, &header, cloud_.bytes.data(), 6, nullptr, nullptr, 0, &header, nullptr, 0),
        -99);
}

TEST_F(FlatTwins, SaveToBmpTwinGivesTheOperationsResultAndSaveCloudPlaneTwinItsFailureToo) {
    tavi::test::TempDirectory directory;
    std::string bmp = directory.PathOf("frame.bmp"), png = directory.PathOf("plane.png");
    PhotoInfoCSharp header = HeaderOf(cloud_.Frame());  // a point cloud: no BMP writer for it
    const int size = static_cast<int>(cloud_.bytes.size());
    EXPECT_EQ(SaveToBMPCSharp(0, &header, cloud_.bytes.data(), size, bmp.data()), -41);
    std::vector<short> plane(cloud_.Points());
    EXPECT_EQ(SaveCloudPlaneCSharp(0, &header, cloud_.bytes.data(), size, plane.data(), png.data()), 0);
    EXPECT_TRUE(directory.Exists("plane.png"));
    std::string unwritable = directory.PathOf("no-such-directory/plane.png");
    EXPECT_LT(SaveCloudPlaneCSharp(0, &header, cloud_.bytes.data(), size, plane.data(), unwritable.data()), 0)
        << "a failed save is reported, not turned into success";
}

TEST_F(FlatTwins, RgbConversionOverwritesTheFirstLengthBytesAndLeavesTheHeader) {
    const uint32_t width = 8, height = 4;
    std::vector<uint8_t> yuyv(width * height * 2);
    for (size_t n = 0; n < yuyv.size(); ++n) yuyv[n] = static_cast<uint8_t>(n * 7);
    // The plain conversion writes width x height x 3 bytes into the frame's own buffer.
    std::vector<uint8_t> plain_bytes(width * height * 3, 0);
    std::memcpy(plain_bytes.data(), yuyv.data(), yuyv.size());
    PhotoInfo frame{};
    frame.data = plain_bytes.data();
    frame.pixel_format = kPixelYUV422_8;
    frame.width = width;
    frame.height = height;
    frame.payload_size = static_cast<uint32_t>(yuyv.size());
    RawdataToRgb888(0, &frame);
    ASSERT_EQ(frame.pixel_format, kPixelRGB8);

    PhotoInfoCSharp header{};
    header.pixel_format = kPixelYUV422_8;
    header.width = width;
    header.height = height;
    header.payload_size = static_cast<uint32_t>(yuyv.size());
    std::vector<uint8_t> buffer(width * height * 3, 0);
    std::memcpy(buffer.data(), yuyv.data(), yuyv.size());
    RawdataToRgb888CSharp(0, &header, buffer.data(), static_cast<int>(buffer.size()));
    EXPECT_EQ(buffer, plain_bytes);
    EXPECT_EQ(header.pixel_format, kPixelYUV422_8) << "the header is not updated";

    // A buffer of the raw frame's size only: its bytes become the converted frame's first ones.
    std::vector<uint8_t> short_buffer = yuyv;
    RawdataToRgb888CSharp(0, &header, short_buffer.data(), static_cast<int>(short_buffer.size()));
    EXPECT_TRUE(std::equal(short_buffer.begin(), short_buffer.end(), plain_bytes.begin()));
}

TEST_F(FlatTwins, MaskTwinsChangeTheCallersMaskAsThePlainFunctionsDo) {
    const uint32_t width = 9, height = 7;
    std::vector<int> mask(width * height, 0);
    mask[3 * width + 4] = 255;
    mask[3 * width + 5] = 255;
    std::vector<int> plain = mask, twin = mask;
    PhotoInfo frame{};
    frame.width = width;
    frame.height = height;
    PhotoInfoCSharp header{};
    header.width = width;
    header.height = height;
    header.payload_size = 12345;  // ignored: only width and height count
    PixelSwell(0, plain.data(), &frame);
    PixelSwellCSharp(0, twin.data(), &header, 0);
    EXPECT_EQ(plain, twin);
    EXPECT_NE(twin, mask);
    PixelCorrosion(0, plain.data(), &frame);
    PixelCorrosionCSharp(0, twin.data(), &header, 4);
    EXPECT_EQ(plain, twin);
    RoiPoint plain_rect{}, twin_rect{};
    ROIMappingCoordinate(0, mask.data(), &frame, &plain_rect);
    ROIMappingCoordinateCSharp(0, nullptr, mask.data(), &header, 0, &twin_rect);
    EXPECT_EQ(std::memcmp(&plain_rect, &twin_rect, sizeof plain_rect), 0);
    EXPECT_EQ(twin_rect.offset_x, 4);
}

TEST_F(FlatTwins, NodeNamesTwinHandsTheCallersListToTheCamera) {
    std::vector<std::string> names{"kept"};
    GetCameraXMLNodeNamesCSharp(0, &names);  // an unconnected camera adds nothing
    EXPECT_EQ(names, std::vector<std::string>{"kept"});
    GetCameraXMLNodeNamesCSharp(0, nullptr);
    GetCameraXMLNodeNamesCSharp(1, &names);
}

// ---- the C view of the records -------------------------------------------------------------------

extern "C" void FlatRecordLayoutInC(size_t* sizes, size_t* offsets);

TEST(FlatRecords, TheCHeaderLaysOutTheRecordsAsTheClassInterfaceDoes) {
    size_t sizes[6] = {}, offsets[12] = {};
    FlatRecordLayoutInC(sizes, offsets);
    EXPECT_EQ(sizes[0], sizeof(DiscoveryInfo));
    EXPECT_EQ(sizes[1], sizeof(PhotoInfo));
    EXPECT_EQ(sizes[2], sizeof(RoiPoint));
    EXPECT_EQ(sizes[3], sizeof(StatisticsData));
    EXPECT_EQ(sizes[4], sizeof(PhotoInfoCSharp));
    EXPECT_EQ(sizes[5], sizeof(StatisticsHeaderCSharp));
    EXPECT_EQ(offsets[0], offsetof(DiscoveryInfo, mac_high));
    EXPECT_EQ(offsets[1], offsetof(DiscoveryInfo, pc_ip));
    EXPECT_EQ(offsets[2], offsetof(DiscoveryInfo, adapter_name));
    EXPECT_EQ(offsets[3], offsetof(PhotoInfo, reserved));
    EXPECT_EQ(offsets[4], offsetof(PhotoInfo, block_id));
    EXPECT_EQ(offsets[5], offsetof(PhotoInfo, channel_index));
    EXPECT_EQ(offsets[6], offsetof(StatisticsData, sample_count));
    EXPECT_EQ(offsets[7], offsetof(StatisticsData, buckets));
    EXPECT_EQ(offsets[8], offsetof(PhotoInfoCSharp, block_id));
    EXPECT_EQ(offsets[9], offsetof(StatisticsHeaderCSharp, below_count));
    // The managed header is the frame record without its leading data pointer.
    EXPECT_EQ(offsetof(PhotoInfo, channel_index) - offsetof(PhotoInfo, reserved),
              offsetof(PhotoInfoCSharp, channel_index));
    EXPECT_EQ(offsetof(StatisticsData, below_count), offsetof(StatisticsHeaderCSharp, below_count));
}

}  // namespace
