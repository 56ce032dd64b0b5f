// The feature-control table, its walker, and the members of GigeCamera that stand on it.

#include "camera/feature_controls.h"

#include <cstdint>

#include "TaviSDK/GigeCamera.h"

namespace tavi {

namespace {

using enum ControlAccess;
using enum ArgumentRule;
using enum LimitRule;
using enum ValueRule;

constexpr int kEnableBitValue = 0x80000;      // bit 19 of GevIEEE1588
constexpr int kEnableRegisterEnd = 0x100000;  // bits 20 and up must be clear
constexpr int kHighestPortState = 8;

bool Accepts(ArgumentRule rule, int argument, int index, const GigeCamera& camera) {
    switch (rule) {
        case kAnyArgument:
            return true;
        case kZeroOrOne:
            return argument == 0 || argument == 1;
        case kAtLeastOne:
            return argument >= 1;
        case kPercent:
            return argument >= 1 && argument <= 100;
        case kKnownSensor:
            return index >= 0 && index < camera.cmos_count;
    }
    return false;
}

bool WithinLimits(LimitRule rule, int value, int min, int max) {
    switch (rule) {
        case kNoLimits:
            return true;
        case kAboveMinUpToMax:
            return value > min && value <= max;
        case kMinToMax:
            return value >= min && value <= max;
    }
    return false;
}

bool Plausible(ValueRule rule, int value) {
    switch (rule) {
        case kAnyValue:
            return true;
        case kNotNegative:
            return value >= 0;
        case kEnableBit:
            return value >= 0 && value < kEnableRegisterEnd;
        case kPortState:
            return value >= 0 && value <= kHighestPortState;
    }
    return false;
}

void LogFailure(GigeCamera& camera, const FeatureControl& control, int code) {
    if (control.failure_message != nullptr) {
        TAVI_LOG_ERROR(&camera.log, control.failure_message, code);
    } else {
        TAVI_LOG_ERROR(&camera.log, "[function:%s] Failed to read register. error code: %x.",
                       control.log_name, code);
    }
}

// The node's limits, for a setter whose row checks them. The address is looked up first, as the
// member always has: a feature the description lacks is reported as such (-11 or -21), and nothing
// is written to an address made of that code.
int CheckLimits(GigeCamera& camera, const FeatureControl& control, const FeatureRef& feature, int value) {
    const FeatureAddress where = ResolveFeature(camera, feature);
    if (where.code != 0) {
        LogFailure(camera, control, where.code);
        return where.code;
    }
    const int max = camera.GetNodeMaxValue(control.node);
    const int min = camera.GetNodeMinValue(control.node);
    if (!WithinLimits(control.limit_rule, value, min, max)) {
        TAVI_LOG_ERROR(&camera.log, "%s", control.out_of_limits_message);
        return control.out_of_limits_code;
    }
    return 0;
}

int WriteControl(GigeCamera& camera, const FeatureControl& control, const FeatureRef& feature, int argument) {
    // Arguments were checked before, so the product stays small (at most 1 x 0x80000).
    const int value = argument * control.argument_factor + control.fixed_value;
    if (control.limit_rule != kNoLimits) {
        const int code = CheckLimits(camera, control, feature, value);
        if (code != 0) return code;
    }
    const int code = WriteFeature(camera, feature, value);
    if (code != 0) {
        LogFailure(camera, control, code);
        return code;
    }
    return 0;
}

int ReadControl(GigeCamera& camera, const FeatureControl& control, const FeatureRef& feature) {
    int value = 0;
    const int code = ReadFeature(camera, feature, &value);
    if (code != 0) {
        LogFailure(camera, control, code);
        return code;
    }
    if (!Plausible(control.value_rule, value)) {
        TAVI_LOG_ERROR(&camera.log, "%s", control.implausible_message);
        return TAVI_ERR_INVALID_VALUE_READ;
    }
    return control.value_rule == kEnableBit ? (value & kEnableBitValue) != 0 : value;
}

}  // namespace

int RunFeatureControl(GigeCamera& camera, const FeatureControl& control, int argument, int index) {
    if (camera.connected.load() == 0) {
        TAVI_LOG_DEBUG(&camera.log, "[function:%s] The camera disconnected.", control.log_name);
        return TAVI_ERR_NOT_CONNECTED;
    }
    if (!Accepts(control.argument_rule, argument, index, camera)) {
        TAVI_LOG_ERROR(&camera.log, control.refused_message, control.refused_code);
        return control.refused_code;
    }
    // The index is used as given (only the exposure time checks it); a negative one wraps, as the
    // device's own address arithmetic would.
    const FeatureRef feature{control.node, control.offset, static_cast<uint32_t>(index)};
    return control.access == kWrite ? WriteControl(camera, control, feature, argument)
                                    : ReadControl(camera, control, feature);
}

}  // namespace tavi

// ---- the table -------------------------------------------------------------------------------------

namespace {

using tavi::FeatureControl;
using tavi::FeatureOffset;
using enum tavi::ControlAccess;
using enum tavi::ArgumentRule;
using enum tavi::LimitRule;
using enum tavi::ValueRule;

// clang-format off
constexpr FeatureControl kAcquisitionStart{
    .log_name = "AcquisitionStart", .node = "AcquisitionStart", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_factor = 0, .fixed_value = 1,
    .failure_message = "[function:AcquisitionStart] Failed to set resend request on-off. error code: %x."};
constexpr FeatureControl kAcquisitionStop{
    .log_name = "AcquisitionStop", .node = "AcquisitionStop", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_factor = 0, .fixed_value = 0,
    .failure_message = "[function:AcquisitionStop] Failed to stop recv stream data. error code: %x."};

constexpr FeatureControl kSetAutoExposure{
    .log_name = "SetAutoExposure", .node = "ExposureAuto", .offset = FeatureOffset::kSensor, .access = kWrite,
    .argument_rule = kZeroOrOne,
    .refused_message = "[function:SetAutoExposure] Failed to set exposure model due to the incoming parameters error, error code: %d",
    .failure_message = "[function:SetAutoExposure] Failed to set exposure model. error code: %x."};
constexpr FeatureControl kGetAutoExposure{
    .log_name = "GetAutoExposure", .node = "ExposureAuto", .offset = FeatureOffset::kSensor, .access = kRead};

// The exposure level has always logged under the colour sensor's name.
constexpr FeatureControl kSetCamExposureGainLevel{
    .log_name = "SetRGBCamExposureGainLevel", .node = "ExposureCompensationLevel", .offset = FeatureOffset::kSensor,
    .access = kWrite, .argument_rule = kAtLeastOne,
    .refused_message = "[function:SetRGBCamExposureGainLevel] Failed to set exposure level due to the incoming parameters error, error code: %d",
    .failure_message = "[function:SetRGBCamExposureGainLevel] Failed to set exposure level. error code: %x."};
constexpr FeatureControl kGetCamExposureGainLevel{
    .log_name = "GetRGBCamExposureGainLevel", .node = "ExposureCompensationLevel", .offset = FeatureOffset::kSensor,
    .access = kRead};

// The node's minimum itself is refused and its maximum accepted, as cameras in the field expect.
constexpr FeatureControl kSetExposureTime{
    .log_name = "SetExposureTime", .node = "ExposureTime", .offset = FeatureOffset::kSensor, .access = kWrite,
    .argument_rule = kKnownSensor,
    .refused_message = "[function:SetExposureTime] Failed to set exposure time due to the incoming parameters error, error code: %d",
    .limit_rule = kAboveMinUpToMax,
    .out_of_limits_message = "[function:SetExposureTime] Failed to set exposure time due to the incoming parameters error.",
    .failure_message = "[function:SetExposureTime] Failed to set exposure time.error code: %x."};
constexpr FeatureControl kGetExposureTime{
    .log_name = "GetExposureTime", .node = "ExposureTime", .offset = FeatureOffset::kSensor, .access = kRead,
    .argument_rule = kKnownSensor,
    .refused_message = "[function:GetExposureTime] Failed to get exposure time due to the incoming parameters error."};

// A refused count is -1 and logged with the failure line, so the log shows ffffffff.
constexpr FeatureControl kSetMutipleExposure{
    .log_name = "SetMutipleExposure", .node = "ExposureType", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kAtLeastOne, .refused_code = TAVI_ERR_FILE_OR_COUNT,
    .refused_message = "[function:SetMutipleExposure] Failed to set mutiple exposure. error code: %x.",
    .failure_message = "[function:SetMutipleExposure] Failed to set mutiple exposure. error code: %x."};
constexpr FeatureControl kGetMutipleExposure{
    .log_name = "GetMutipleExposure", .node = "ExposureType", .offset = FeatureOffset::kNone, .access = kRead,
    .failure_message = "[function:SetMutipleExposure] Failed to read register. error code: %x."};

constexpr FeatureControl kSetTriggerMode{
    .log_name = "SetTriggerMode", .node = "TriggerMode", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kZeroOrOne,
    .refused_message = "[function:SetTriggerMode] Failed to set the trigger model due to the incoming parameters error.",
    .failure_message = "[function:SetTriggerMode] Failed to set the trigger model. error code: %x."};
constexpr FeatureControl kSetTriggerSource{
    .log_name = "SetTriggerSource", .node = "TriggerSource", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kZeroOrOne,
    .refused_message = "[function:SetTriggerSource] Failed to set the trigger source type due to the incoming parameters error.",
    .failure_message = "[function:SetTriggerSource] Failed to set the trigger source type. error code: %x."};
constexpr FeatureControl kSetTriggerCount{
    .log_name = "SetTriggerCount", .node = "TriggerSoftware", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kAtLeastOne,
    .refused_message = "[function:SetTriggerCount] Failed to set the trigger signal due to the incoming parameters error.",
    .failure_message = "[function:SetTriggerCount] Failed to set the trigger signal. error code: %x."};
constexpr FeatureControl kSetRGBTriggerMode{
    .log_name = "SetRGBTriggerMode", .node = "RGBTriggerMode", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kZeroOrOne,
    .refused_message = "[function:SetRGBTriggerMode] Failed to set the RGB trigger model due to the incoming parameters error.",
    .failure_message = "[function:SetRGBTriggerMode] Failed to set the RGB trigger model. error code: %x."};
constexpr FeatureControl kSetRGBTriggerCount{
    .log_name = "SetRGBTriggerCount", .node = "RGBTriggerSoftware", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kAtLeastOne,
    .refused_message = "[function:SetRGBTriggerCount] Failed to set the RGB trigger signal due to the incoming parameters error.",
    .failure_message = "[function:SetRGBTriggerCount] Failed to set the RGB trigger signal. error code: %x."};

constexpr FeatureControl kSetStrobeLEDswitch{
    .log_name = "SetStrobeLEDswitch", .node = "StrobeLEDswitch", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kZeroOrOne,
    .refused_message = "[function:SetStrobeLEDswitch] Failed to set value due to the incoming parameters error, error code: %d",
    .failure_message = "[function:SetStrobeLEDswitch] Failed to set value to control strobe LED onoff switch. error code: %x."};
constexpr FeatureControl kGetStrobeLEDswitch{
    .log_name = "GetStrobeLEDswitch", .node = "StrobeLEDswitch", .offset = FeatureOffset::kNone, .access = kRead};
constexpr FeatureControl kSetStrobeLEDbrightress{
    .log_name = "SetStrobeLEDbrightress", .node = "StrobeLEDbrightress", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kPercent,
    .refused_message = "[function:SetStrobeLEDbrightress] Failed to set value due to the incoming parameters error, error code: %d",
    .failure_message = "[function:SetStrobeLEDbrightress] Failed to set value to StrobeLED brightness.Persentage mode. error code: %x."};
constexpr FeatureControl kGetStrobeLEDbrightress{
    .log_name = "GetStrobeLEDbrightress", .node = "StrobeLEDbrightress", .offset = FeatureOffset::kNone, .access = kRead};
constexpr FeatureControl kSetLaserbrightness{
    .log_name = "SetLaserbrightness", .node = "Laserbrightness", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kPercent,
    .refused_message = "[function:SetLaserbrightness] Failed to set value due to the incoming parameters error, error code: %d",
    .failure_message = "[function:SetLaserbrightness] Failed to set value to control strobe LED onoff switch. error code: %x."};
constexpr FeatureControl kGetLaserbrightness{
    .log_name = "GetLaserbrightness", .node = "Laserbrightness", .offset = FeatureOffset::kNone, .access = kRead};

// The enable bit is written as the whole register: every other bit is cleared.
constexpr FeatureControl kSetTimestamp{
    .log_name = "SetTimestamp", .node = "GevIEEE1588", .offset = FeatureOffset::kNone, .access = kWrite,
    .argument_rule = kZeroOrOne,
    .refused_message = "[function:SetTimestamp] Failed to set the timestamp due to the incoming parameters error, error code: %d",
    .argument_factor = 0x80000,
    .failure_message = "[function:SetTimestamp] Failed to set the timestamp. error code: %x."};
constexpr FeatureControl kGetTimestamp{
    .log_name = "GetTimestamp", .node = "GevIEEE1588", .offset = FeatureOffset::kNone, .access = kRead,
    .value_rule = kEnableBit, .implausible_message = "[function:GetTimestamp] Failed to get the timestamp."};
constexpr FeatureControl kGetTimestampStatus{
    .log_name = "GetTimestampStatus", .node = "GevIEEE1588Status", .offset = FeatureOffset::kNone, .access = kRead,
    .value_rule = kPortState,
    .implausible_message = "[function:GetTimestampStatus] Failed to get status of the timestamp."};
constexpr FeatureControl kSetTimestampControlLatch{
    .log_name = "SetTimestampControlLatch", .node = "GevTimestampControlLatch", .offset = FeatureOffset::kNone,
    .access = kWrite, .argument_factor = 0, .fixed_value = 2,
    .failure_message = "[function:SetTimestampControlLatch] Failed to set timestamp control latch. error code: %x."};

// Gains: one node per (type, sensor kind); the rows differ only in the node.
struct GainNodes {
    int type;
    const char* nodes[2];  // rgb 0, rgb 1
    const char* set_refused;
    const char* get_refused;
};
constexpr GainNodes kGainNodes[] = {
    {1, {"analoggain", "analoggain_rgb"},
     "[function:SetGain] Failed to set the value of analog gain due to the incoming parameters error.",
     "[function:GetGain] Failed to get the value of analog gain due to the incoming parameters error."},
    {2, {"digitalgain", "digitalgain_rgb"},
     "[function:SetGain] Failed to set the value of digital gain due to the incoming parameters error.",
     "[function:GetGain] Failed to get the value of digital gain due to the incoming parameters error."},
};
constexpr const char* kSetGainUnknownType =
    "[function:SetGain] Failed to set the value of gain due to the incoming parameters error.";
constexpr const char* kGetGainUnknownType =
    "[function:GetGain] Failed to get the value of gain due to the incoming parameters error.";

constexpr FeatureControl SetGainControl(const char* node) {
    return {.log_name = "SetGain", .node = node, .offset = FeatureOffset::kNone, .access = kWrite,
            .limit_rule = kMinToMax, .out_of_limits_code = TAVI_ERR_GAIN_RANGE,
            .out_of_limits_message = "[function:SetGain] Failed to set the value of gain.",
            .failure_message = "[function:SetGain] Failed to set the value of gain. error code: %x."};
}
constexpr FeatureControl GetGainControl(const char* node) {
    return {.log_name = "GetGain", .node = node, .offset = FeatureOffset::kNone, .access = kRead,
            .value_rule = kNotNegative, .implausible_message = "[function:GetGain] Failed to get the value of gain."};
}
// clang-format on

// The gain node of (type, rgb), or null after logging the argument refusal.
const char* GainNode(GigeCamera& camera, int type, int rgb, bool setting) {
    for (const GainNodes& gain : kGainNodes) {
        if (gain.type != type) continue;
        if (rgb == 0 || rgb == 1) return gain.nodes[rgb];
        TAVI_LOG_ERROR(&camera.log, "%s", setting ? gain.set_refused : gain.get_refused);
        return nullptr;
    }
    TAVI_LOG_ERROR(&camera.log, "%s", setting ? kSetGainUnknownType : kGetGainUnknownType);
    return nullptr;
}

}  // namespace

int GigeCamera::AcquisitionStart() { return tavi::RunFeatureControl(*this, kAcquisitionStart, 0, 0); }
int GigeCamera::AcquisitionStop() { return tavi::RunFeatureControl(*this, kAcquisitionStop, 0, 0); }

int GigeCamera::SetAutoExposure(int mode, int cmos) {
    return tavi::RunFeatureControl(*this, kSetAutoExposure, mode, cmos);
}
int GigeCamera::GetAutoExposure(int cmos) {
    return tavi::RunFeatureControl(*this, kGetAutoExposure, 0, cmos);
}

int GigeCamera::SetCamExposureGainLevel(int cmos, int level) {
    return tavi::RunFeatureControl(*this, kSetCamExposureGainLevel, level, cmos);
}
int GigeCamera::GetCamExposureGainLevel(int cmos) {
    return tavi::RunFeatureControl(*this, kGetCamExposureGainLevel, 0, cmos);
}

int GigeCamera::SetExposureTime(int value, int cmos) {
    return tavi::RunFeatureControl(*this, kSetExposureTime, value, cmos);
}
int GigeCamera::GetExposureTime(int cmos) {
    return tavi::RunFeatureControl(*this, kGetExposureTime, 0, cmos);
}

int GigeCamera::SetMutipleExposure(int count) {
    return tavi::RunFeatureControl(*this, kSetMutipleExposure, count, 0);
}
int GigeCamera::GetMutipleExposure() { return tavi::RunFeatureControl(*this, kGetMutipleExposure, 0, 0); }

int GigeCamera::SetGain(int type, int value, int rgb) {
    if (connected.load() == 0) {
        TAVI_LOG_DEBUG(&log, "[function:SetGain] The camera disconnected.");
        return TAVI_ERR_NOT_CONNECTED;
    }
    const char* node = GainNode(*this, type, rgb, true);
    if (node == nullptr) return TAVI_ERR_INVALID_ARGUMENT;
    return tavi::RunFeatureControl(*this, SetGainControl(node), value, 0);
}

int GigeCamera::GetGain(int type, int rgb) {
    if (connected.load() == 0) {
        TAVI_LOG_DEBUG(&log, "[function:GetGain] The camera disconnected.");
        return TAVI_ERR_NOT_CONNECTED;
    }
    const char* node = GainNode(*this, type, rgb, false);
    if (node == nullptr) return TAVI_ERR_INVALID_ARGUMENT;
    return tavi::RunFeatureControl(*this, GetGainControl(node), 0, 0);
}

int GigeCamera::SetTriggerMode(int mode) { return tavi::RunFeatureControl(*this, kSetTriggerMode, mode, 0); }
int GigeCamera::SetTriggerSource(int source) {
    return tavi::RunFeatureControl(*this, kSetTriggerSource, source, 0);
}
int GigeCamera::SetTriggerCount(int count) {
    return tavi::RunFeatureControl(*this, kSetTriggerCount, count, 0);
}
int GigeCamera::SetRGBTriggerMode(int mode) {
    return tavi::RunFeatureControl(*this, kSetRGBTriggerMode, mode, 0);
}
int GigeCamera::SetRGBTriggerCount(int count) {
    return tavi::RunFeatureControl(*this, kSetRGBTriggerCount, count, 0);
}

int GigeCamera::SetStrobeLEDswitch(int on) {
    return tavi::RunFeatureControl(*this, kSetStrobeLEDswitch, on, 0);
}
int GigeCamera::GetStrobeLEDswitch() { return tavi::RunFeatureControl(*this, kGetStrobeLEDswitch, 0, 0); }
int GigeCamera::SetStrobeLEDbrightress(int percent) {
    return tavi::RunFeatureControl(*this, kSetStrobeLEDbrightress, percent, 0);
}
int GigeCamera::GetStrobeLEDbrightress() {
    return tavi::RunFeatureControl(*this, kGetStrobeLEDbrightress, 0, 0);
}
int GigeCamera::SetLaserbrightness(int percent) {
    return tavi::RunFeatureControl(*this, kSetLaserbrightness, percent, 0);
}
int GigeCamera::GetLaserbrightness() { return tavi::RunFeatureControl(*this, kGetLaserbrightness, 0, 0); }

int GigeCamera::SetTimestamp(int on) { return tavi::RunFeatureControl(*this, kSetTimestamp, on, 0); }
int GigeCamera::GetTimestamp() { return tavi::RunFeatureControl(*this, kGetTimestamp, 0, 0); }
int GigeCamera::GetTimestampStatus() { return tavi::RunFeatureControl(*this, kGetTimestampStatus, 0, 0); }
int GigeCamera::SetTimestampControlLatch() {
    return tavi::RunFeatureControl(*this, kSetTimestampControlLatch, 0, 0);
}
