#pragma once
// The camera's settings as rows of one table: each member of GigeCamera that starts, stops, sets or
// reads a feature names its row, and one walker runs the same steps for all of them:
//   connected? -> argument accepted? -> [node limits accepted?] -> register access -> value plausible?
// Every refusal happens before any register traffic. The region of interest and the choice of a
// gain node keep steps of their own, on the same feature-access path.

#include <cstdint>

#include "camera/feature_access.h"

class GigeCamera;

namespace tavi {

enum class ControlAccess { kWrite, kRead };

// What a member accepts as its argument (or, for kKnownSensor, as its sensor index).
enum class ArgumentRule {
    kAnyArgument,
    kZeroOrOne,
    kAtLeastOne,
    kPercent,      // 1 to 100
    kKnownSensor,  // 0 <= cmos < the camera's sensor count
};

// What a setter checks its value against, from the feature node's limits, after the address.
enum class LimitRule {
    kNoLimits,
    kAboveMinUpToMax,  // min < value <= max: the minimum itself is refused
    kMinToMax,         // min <= value <= max
};

// What a getter checks the register value against.
enum class ValueRule {
    kAnyValue,
    kNotNegative,
    kEnableBit,  // bits 20 and up clear; the result is bit 19 alone (0 or 1)
    kPortState,  // 0 to 8
};

struct FeatureControl {
    const char* log_name;  // the name in "[function:...]"
    const char* node;
    FeatureOffset offset;
    ControlAccess access;
    ArgumentRule argument_rule = ArgumentRule::kAnyArgument;
    int refused_code = -2;
    const char* refused_message = nullptr;  // logged with the refused code
    LimitRule limit_rule = LimitRule::kNoLimits;
    int out_of_limits_code = -2;
    const char* out_of_limits_message = nullptr;
    // A setter writes argument * argument_factor + fixed_value.
    int argument_factor = 1;
    int fixed_value = 0;
    // Logged with the failing code; null: "[function:<log_name>] Failed to read register. ..."
    const char* failure_message = nullptr;
    ValueRule value_rule = ValueRule::kAnyValue;
    const char* implausible_message = nullptr;  // logged when the value rule refuses, with -17
};

// Runs one member: `argument` is the value to check and write (ignored by getters and commands),
// `index` the sensor or channel index the row's offset uses. The result is the member's.
int RunFeatureControl(GigeCamera& camera, const FeatureControl& control, int argument, int index);

}  // namespace tavi
