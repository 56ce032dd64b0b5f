#include "processing/cloud_decode.h"

#include <cmath>
#include <cstring>

#include "cloud_test_support.h"
#include "processing/cloud_plane.h"
#include "processing/cloud_write_back.h"

using cloud_test::CloudCameraTest;
using cloud_test::RawCloud;

namespace {

std::vector<float> Decode(GigeCamera& camera, PhotoInfo frame, size_t floats) {
    std::vector<float> out(floats, -7.0f);
    camera.Convert3DPointFromCharToFloat(frame, out.data());
    return out;
}

}  // namespace

class CloudDecode : public CloudCameraTest {};

TEST_F(CloudDecode, RawRecordDividesByTheUnitWithSignedXAndYAndUnsignedZ) {
    const uint8_t record[6] = {0xFF, 0xFF, 0x01, 0x00, 0x0A, 0x00};
    for (const auto& [unit, x, y, z] :
         {std::array<float, 4>{1, -1.0f, 1.0f, 10.0f}, {10, -0.1f, 0.1f, 1.0f}}) {
        RawCloud cloud(1, 1, static_cast<uint32_t>(unit));
        std::memcpy(cloud.bytes.data(), record, 6);
        const auto out = Decode(camera_, cloud.Frame(), 3);
        EXPECT_EQ(out, (std::vector<float>{x, y, z})) << "unit " << unit;
    }
    RawCloud extremes(1, 1, 1);
    extremes.Set(0, 0x8000, 0x7FFF, 0xFFFF);
    EXPECT_EQ(Decode(camera_, extremes.Frame(), 3), (std::vector<float>{-32768.0f, 32767.0f, 65535.0f}));
}

TEST_F(CloudDecode, EmptyFrameDecodesNothingAndTouchesNoOutput) {
    RawCloud cloud(0, 5);
    EXPECT_EQ(Decode(camera_, cloud.Frame(), 3), (std::vector<float>{-7.0f, -7.0f, -7.0f}));
}

TEST_F(CloudDecode, NullDataIsLoggedAndLeavesTheOutputAlone) {
    RawCloud cloud(2, 1);
    PhotoInfo frame = cloud.Frame();
    frame.data = nullptr;
    EXPECT_EQ(Decode(camera_, frame, 6), std::vector<float>(6, -7.0f));
    EXPECT_NE(LogText().find(
                  "[function:Convert3DPointFromCharToFloat] the incoming parameters error, error code: -2"),
              std::string::npos);
}

// A header that claims more points than the payload holds: the missing points decode as zeros and
// nothing past the payload is read (ASan checks the reads).
TEST_F(CloudDecode, PointsMissingFromAShortPayloadDecodeAsZero) {
    RawCloud cloud(4, 1, 1);
    cloud.Set(0, 1, 2, 3);
    cloud.Set(1, 4, 5, 6);
    cloud.bytes.resize(12);
    cloud.bytes.shrink_to_fit();
    EXPECT_EQ(Decode(camera_, cloud.Frame(), 12), (std::vector<float>{1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0}));
}

// A payload larger than width x height: only width x height points are written to the output.
TEST_F(CloudDecode, LongPayloadWritesNoMoreThanWidthTimesHeightPoints) {
    RawCloud cloud(1, 1, 1);
    cloud.bytes.resize(600, 1);
    const auto out = Decode(camera_, cloud.Frame(), 6);
    EXPECT_EQ(out[3], -7.0f);
}

// The vector path must give the float division's bits for every 16-bit word, every unit, including a
// unit of 0 (infinities and NaNs), and across the split between the two cores.
TEST(CloudDecodeFastPath, MatchesTheReferenceBitForBitOnEveryWord) {
    const size_t points = 65536 + 5;  // large enough to be split, not a multiple of the vector width
    RawCloud cloud(static_cast<uint32_t>(points), 1);
    for (size_t n = 0; n < points; ++n) {
        cloud.SetWord(n, 0, static_cast<uint16_t>(n));
        cloud.SetWord(n, 1, static_cast<uint16_t>(~n));
        cloud.SetWord(n, 2, static_cast<uint16_t>(n * 7919));
    }
    for (uint32_t unit : {1u, 3u, 7u, 10u, 100u, 1000u, 65535u, 0u, 0xFFFFFFFFu}) {
        std::vector<float> expected(points * 3), actual(points * 3);
        tavi::DecodePointsReference(cloud.bytes.data(), points, unit, expected.data());
        tavi::DecodePoints(cloud.bytes.data(), points, unit, actual.data());
        ASSERT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * 4), 0) << "unit " << unit;
    }
    std::vector<float> out(3);
    tavi::DecodePointsReference(cloud.bytes.data() + 6, 1, 0, out.data());
    EXPECT_TRUE(std::isinf(out[0]));
    tavi::DecodePointsReference(cloud.bytes.data(), 1, 0, out.data());
    EXPECT_TRUE(std::isnan(out[0]));  // 0 / 0
}

TEST(CloudDecodeFastPath, DecodingIntoThePayloadItselfReadsEveryPointFirst) {
    std::vector<uint8_t> buffer(2 * 6 * 4, 0);
    RawCloud cloud(4, 1, 1);
    for (size_t n = 0; n < 4; ++n) cloud.Set(n, int(n) + 1, -int(n) - 1, 100 * int(n));
    std::memcpy(buffer.data(), cloud.bytes.data(), 24);
    PhotoInfo frame = cloud.Frame();
    frame.data = buffer.data();
    tavi::DecodeFrame(frame, reinterpret_cast<float*>(buffer.data()));
    std::vector<float> out(12);
    std::memcpy(out.data(), buffer.data(), 48);
    EXPECT_EQ(out, (std::vector<float>{1, -1, 0, 2, -2, 100, 3, -3, 200, 4, -4, 300}));
}

class CloudPlane : public CloudCameraTest {
  protected:
    using PlaneOperation = int (GigeCamera::*)(PhotoInfo&, short*);
    static constexpr PlaneOperation kOperations[3] = {
        &GigeCamera::GetCloudPlaneX, &GigeCamera::GetCloudPlaneY, &GigeCamera::GetCloudPlaneZ};
    std::vector<uint8_t> PlaneBytes(PhotoInfo frame, int axis, size_t points) {
        std::vector<short> plane(points, 0x5555);
        EXPECT_EQ((camera_.*kOperations[axis])(frame, plane.data()), 0);
        std::vector<uint8_t> bytes(points * 2);
        std::memcpy(bytes.data(), plane.data(), bytes.size());
        return bytes;
    }
};

TEST_F(CloudPlane, UnitOneGivesTheRawCoordinatesMostSignificantByteFirst) {
    RawCloud cloud(2, 1, 1);
    cloud.Set(0, -5, 300, 65535);
    cloud.Set(1, 7, -1, 0);
    EXPECT_EQ(PlaneBytes(cloud.Frame(), 0, 2), (std::vector<uint8_t>{0xFF, 0xFB, 0x00, 0x07}));
    EXPECT_EQ(PlaneBytes(cloud.Frame(), 1, 2), (std::vector<uint8_t>{0x01, 0x2C, 0xFF, 0xFF}));
    EXPECT_EQ(PlaneBytes(cloud.Frame(), 2, 2), (std::vector<uint8_t>{0xFF, 0xFF, 0x00, 0x00}));
}

// A point without measurement keeps its X and Y in the planes; a cloud unit of 0 gives zeros.
TEST_F(CloudPlane, PlanesDoNotBlankUnmeasuredPointsAndUnitZeroGivesZero) {
    RawCloud cloud(1, 1, 1);
    cloud.Set(0, 12, -3, 0);
    EXPECT_EQ(PlaneBytes(cloud.Frame(), 0, 1), (std::vector<uint8_t>{0x00, 0x0C}));
    EXPECT_EQ(PlaneBytes(cloud.Frame(), 1, 1), (std::vector<uint8_t>{0xFF, 0xFD}));
    cloud.unit = 0;
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_EQ(PlaneBytes(cloud.Frame(), axis, 1), (std::vector<uint8_t>{0, 0}));
}

TEST_F(CloudPlane, WrongFormatNullDataAndNullPlaneAreRejectedWithTheirOwnLine) {
    RawCloud cloud(1, 1, 1);
    PhotoInfo mono = cloud.Frame();
    mono.pixel_format = kPixelMono8;
    PhotoInfo no_data = cloud.Frame();
    no_data.data = nullptr;
    short plane[1] = {0x1234};
    const char* names[3] = {"X", "Y", "Z"};
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_EQ((camera_.*kOperations[axis])(mono, plane), -2);
        EXPECT_EQ((camera_.*kOperations[axis])(no_data, plane), -2);
        PhotoInfo good = cloud.Frame();
        EXPECT_EQ((camera_.*kOperations[axis])(good, nullptr), -2);
        const std::string line = std::string("[function:GetCloudPlane") + names[axis] +
                                 "] Failed to get the plane " + names[axis] +
                                 " of cloud due to the incoming parameters error, error code: -2";
        EXPECT_NE(LogText().find(line), std::string::npos) << line;
    }
    EXPECT_EQ(plane[0], 0x1234);
}

// The flat interface passes a null frame on to the Y plane: the pointer entry answers like the class.
TEST_F(CloudPlane, NullFramePointerIsRejectedWithTheOperationsLine) {
    short plane[1] = {0x1234};
    EXPECT_EQ(tavi::CloudPlaneOfAxis(&camera_.log, nullptr, plane, 1), -2);
    EXPECT_EQ(plane[0], 0x1234);
    EXPECT_NE(
        LogText().find("[function:GetCloudPlaneY] Failed to get the plane Y of cloud due to the incoming "
                       "parameters error, error code: -2"),
        std::string::npos);
}

// The plane multiplies the decoded value back by the unit and truncates, so it may come out one step
// closer to zero than the raw value; the direct path must agree with decode-then-multiply everywhere,
// and points the payload lacks are 0.
TEST(CloudPlaneFastPath, MatchesDecodeThenMultiplyOnRandomCloudsAndShortPayloads) {
    for (uint32_t unit : {1u, 3u, 7u, 10u, 49u, 1000u, 0u}) {
        RawCloud cloud = cloud_test::RandomCloud(300, 250, unit, unit + 11);
        PhotoInfo frame = cloud.Frame();
        frame.payload_size -= 6 * 1000 + 3;
        for (int axis = 0; axis < 3; ++axis) {
            std::vector<short> expected(cloud.Points(), 1), actual(cloud.Points(), 2);
            ASSERT_EQ(tavi::ExtractPlaneReference(frame, expected.data(), axis), 0);
            tavi::ExtractPlane(frame, actual.data(), axis);
            ASSERT_EQ(expected, actual) << "unit " << unit << " axis " << axis;
            EXPECT_EQ(actual.back(), 0);
        }
    }
}

// The write-back rule on vector units must agree with the scalar rule on every word and unit.
TEST(CloudWriteBackFastPath, RequantisingMatchesTheReferenceOnEveryWord) {
    const size_t points = 65536 + 3;
    RawCloud cloud(static_cast<uint32_t>(points), 1);
    for (size_t n = 0; n < points; ++n) {
        cloud.SetWord(n, 0, static_cast<uint16_t>(n * 3));
        cloud.SetWord(n, 1, static_cast<uint16_t>(n));
        cloud.SetWord(n, 2, static_cast<uint16_t>(~n));
    }
    for (uint32_t unit : {1u, 3u, 7u, 10u, 49u, 1000u, 65535u, 0u, 0xFFFFFFFFu}) {
        RawCloud expected = cloud, actual = cloud;
        tavi::RequantisePointsReference(expected.bytes.data(), points, unit);
        tavi::RequantisePoints(actual.bytes.data(), points, unit);
        ASSERT_EQ(expected.bytes, actual.bytes) << "unit " << unit;
        if (unit == 1) {
            EXPECT_EQ(actual.bytes, cloud.bytes);
        }
        if (unit == 0) {
            EXPECT_EQ(actual.bytes, std::vector<uint8_t>(cloud.bytes.size(), 0));
        }
    }
}
