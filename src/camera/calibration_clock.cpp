// Per-sensor calibration blocks and the camera's two 64-bit clock values.

#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "camera/feature_access.h"
#include "net/gvcp_protocol.h"

namespace {
unsigned long long Widened(int code) { return static_cast<unsigned long long>(static_cast<long long>(code)); }
}  // namespace

// One calibration block: where it lies and how it splits into the two outputs.
struct GigeCamera::CalibrationBlock {
    const char* node;
    const char* function;
    const char* failure;
    size_t first_floats;
    size_t second_floats;
};

// A 64-bit value kept in two registers. Both failure lines carry the same operation name, which is
// how the camera's log has always read.
struct GigeCamera::ClockPair {
    const char* function;
    const char* high_node;
    const char* low_node;
    const char* what;
};

int GigeCamera::ReadCalibrationBlock(int cmos, const CalibrationBlock& block, float* first, float* second) {
    const size_t first_bytes = block.first_floats * sizeof(float);
    const size_t second_bytes = block.second_floats * sizeof(float);
    // A negative sensor index names no sensor; it would otherwise reach below the first block.
    const tavi::FeatureAddress where =
        cmos < 0 ? tavi::FeatureAddress{TAVI_ERR_INVALID_ARGUMENT, 0}
                 : tavi::ResolveFeature(
                       *this, {block.node, tavi::FeatureOffset::kSensor, static_cast<uint32_t>(cmos)});
    if (where.code != 0) {
        TAVI_LOG_ERROR(&log, "[function:%s] %s error code: %d.", block.function, block.failure, where.code);
        return where.code;
    }
    char buffer[tavi::gvcp::kMemBufferSize] = {};
    const int status =
        ReadMem(where.address, static_cast<unsigned short>(first_bytes + second_bytes), buffer);
    if (status != 0) {
        const int code = static_cast<int16_t>(static_cast<uint16_t>(status));
        TAVI_LOG_ERROR(&log, "[function:%s] %s error code: %d.", block.function, block.failure, code);
        return code;
    }
    // Little-endian floats, copied byte for byte.
    if (first != nullptr) std::memcpy(first, buffer + tavi::gvcp::kMemAckData, first_bytes);
    if (second != nullptr) std::memcpy(second, buffer + tavi::gvcp::kMemAckData + first_bytes, second_bytes);
    return 0;
}

int GigeCamera::GetCamInternelParameter(int cmos, float* distortion, float* camera_matrix) {
    static constexpr CalibrationBlock kInternal{"InternelParameter", "GetCamInternelParameter",
                                                "Failed to get camera internel parameter.", 5, 9};
    return ReadCalibrationBlock(cmos, kInternal, distortion, camera_matrix);
}

int GigeCamera::GetCamExternelParameter(int cmos, float* rotation, float* translation) {
    static constexpr CalibrationBlock kExternal{"ExternelParameter", "GetCamExternelParameter",
                                                "Failed to get camera externel parameter.", 9, 3};
    return ReadCalibrationBlock(cmos, kExternal, rotation, translation);
}

unsigned long long GigeCamera::ReadClockPair(const ClockPair& pair) {
    if (connected.load() == 0) {
        TAVI_LOG_DEBUG(&log, "[function:%s] The camera disconnected.", pair.function);
        return Widened(TAVI_ERR_NOT_CONNECTED);
    }
    int high = 0;
    int code = tavi::ReadFeature(*this, {pair.high_node}, &high);
    if (code != 0) {
        TAVI_LOG_ERROR(&log,
                       "[function:GetTimestampValue] Failed to read register of high %s. error code: %x.",
                       pair.what, code);
        return Widened(code);
    }
    int low = 0;
    code = tavi::ReadFeature(*this, {pair.low_node}, &low);
    if (code != 0) {
        TAVI_LOG_ERROR(&log,
                       "[function:GetTimestampValue] Failed to read register of low %s. error code: %x.",
                       pair.what, code);
        return Widened(code);
    }
    return (static_cast<unsigned long long>(static_cast<uint32_t>(high)) << 32) | static_cast<uint32_t>(low);
}

unsigned long long GigeCamera::GetTimestampValue() {
    static constexpr ClockPair kTimestamp{"GetTimestampValue", "GEV_BOOTSTRAP_TimestampValueLatchedHigh",
                                          "GEV_BOOTSTRAP_TimestampValueLatchedLow", "timestamp"};
    return ReadClockPair(kTimestamp);
}

unsigned long long GigeCamera::GetTimestampTickFrequency() {
    static constexpr ClockPair kTickFrequency{"GetTimestampTickFrequency", "TimestampTickFrequencyHiReg",
                                              "TimestampTickFrequencyLoReg", "tick_frequency"};
    return ReadClockPair(kTickFrequency);
}
