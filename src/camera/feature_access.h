#pragma once
// The one path from a feature name to its register: the node map gives the node's address, the
// feature's sensor or channel adds its offset, and the camera's control channel reads or writes the
// 32-bit register there. Stream set-up, calibration and clock reads, the feature controls and the
// command-line tool all go through it.

#include <cstdint>

#include "net/gvcp_protocol.h"

class GigeCamera;

namespace tavi {

// Per-sensor features repeat every 0x100 bytes (one block per cmos), per-channel ones every 0x40.
constexpr uint32_t kSensorStride = 0x100;
constexpr uint32_t kChannelStride = gvcp::kStreamChannelStride;

// Where a feature's register lies relative to its node's address.
enum class FeatureOffset { kNone, kSensor, kChannel };

struct FeatureRef {
    const char* name;
    FeatureOffset offset = FeatureOffset::kNone;
    uint32_t index = 0;  // sensor (cmos) or channel index, as `offset` says
};

// A feature's register: its address and, when the look-up failed, why.
struct FeatureAddress {
    int code = 0;          // 0, -11 (camera not connected) or -21 (no such node in the description)
    uint32_t address = 0;  // valid when `code` is 0; any 32-bit value, 0x80000000 and above too
};

// The feature's register address. The failures are logged as GetRegisterAddr logs them.
FeatureAddress ResolveFeature(GigeCamera& camera, const FeatureRef& feature);

// Reads the feature's register: the look-up code, or ReadRegister's result (device statuses in its
// shape). `*value` is written only on success.
int ReadFeature(GigeCamera& camera, const FeatureRef& feature, int* value);

// Writes the feature's register: the look-up code, or WriteRegister's result.
int WriteFeature(GigeCamera& camera, const FeatureRef& feature, int value);

}  // namespace tavi
