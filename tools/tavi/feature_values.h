#pragma once
// Features by name: what the device description says of one (kind, access, limits, choices, whether
// it is per sensor or per stream channel), and its value read or written as text. Registers are
// reached through the library's feature-access path only; this layer adds the interpretation
// (bit fields, enumeration names, booleans, 64-bit pairs) and the checks before any traffic.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/feature_access.h"
#include "camera/node_map.h"

class GigeCamera;

namespace tavi::cli {

enum class FeatureKind { kInteger, kFloat, kBoolean, kEnumeration, kCommand, kString, kRegister, kWide };

struct EnumChoice {
    std::string name;
    int64_t value = 0;
};

struct FeatureDescription {
    std::string name;
    std::string node_kind;  // the element name in the description: Integer, Enumeration, ...
    FeatureKind kind = FeatureKind::kInteger;
    FeatureOffset offset = FeatureOffset::kNone;
    std::string access = "RW";  // RO, WO or RW
    // Limits as the description states them: a number, or the name of the node that holds it.
    std::optional<int64_t> min, max, inc;
    std::string min_node, max_node;
    std::vector<EnumChoice> choices;
    int64_t command_value = 1;
    // The field a masked register holds: its lowest bit (0 = least significant) and its width.
    unsigned shift = 0;
    unsigned bits = 32;
    bool is_signed = false;
    bool float_register = false;  // the value is an IEEE float in the register
    uint32_t length = 4;          // bytes of a string or block register
    std::string high, low;        // a 64-bit value from two registers
    std::string tooltip;

    bool readable() const { return access != "WO" && kind != FeatureKind::kCommand; }
    bool writable() const { return access != "RO"; }
};

// The feature of that name, or nullopt with the reason ("no feature ...") in `*why`.
std::optional<FeatureDescription> DescribeFeature(const NodeMap& map, const std::string& name,
                                                  std::string* why);

const char* KindText(FeatureKind kind);
const char* OffsetText(FeatureOffset offset);  // "", "sensor", "channel"

// A value read from the camera: as text, and as a number where it is one.
struct FeatureValue {
    std::string text;
    std::optional<int64_t> number;
    std::optional<double> real;
    std::optional<bool> flag;
};

// Reads the feature for sensor or channel `index`. 0, or the library's code.
int ReadFeatureValue(GigeCamera& camera, const FeatureDescription& feature, uint32_t index,
                     FeatureValue* value);

// The limits that hold for `index` (pMin/pMax read from the camera); nullopt when unknown.
struct FeatureLimits {
    std::optional<int64_t> min, max, inc;
};
FeatureLimits ReadLimits(GigeCamera& camera, const FeatureDescription& feature, uint32_t index);

// The outcome of a write: the tool's exit code and, on failure, the message for the user.
struct WriteOutcome {
    int exit_code = 0;
    std::string message;
};

// Parses `text` as the feature's value, checks it against the description, and writes it.
WriteOutcome WriteFeatureValue(GigeCamera& camera, const FeatureDescription& feature, uint32_t index,
                               const std::string& text);

// The sensor or channel index that applies to the feature; global features ignore both.
inline uint32_t IndexFor(const FeatureDescription& feature, uint32_t sensor, uint32_t channel) {
    switch (feature.offset) {
        case FeatureOffset::kSensor:
            return sensor;
        case FeatureOffset::kChannel:
            return channel;
        case FeatureOffset::kNone:
            return 0;
    }
    return 0;
}

// The feature's name with the index it was read at ("Width[sensor 1]"), for output lines.
std::string IndexedName(const FeatureDescription& feature, uint32_t index);

// How many sensors and stream channels the connected camera has (each bounded).
uint32_t SensorCount(GigeCamera& camera);
uint32_t ChannelCount(GigeCamera& camera);

}  // namespace tavi::cli
