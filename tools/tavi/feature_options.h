#pragma once
// The options that `get` and `set` share: the camera and the sensor and channel that per-sensor and
// per-channel features are read or written for.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "json_writer.h"

namespace tavi::cli {

struct SelectorOptions {
    std::string serial;
    uint32_t sensor = 0;
    uint32_t channel = 0;
    bool json = false;
};

inline void AddSelectorOptions(CLI::App& command, SelectorOptions& options) {
    command.add_option("serial", options.serial, "Serial number of the camera")->required();
    command.add_option("--sensor", options.sensor, "Sensor of the per-sensor features (CmosSelector)")
        ->check(CLI::Range(0, 255));
    command
        .add_option("--channel", options.channel,
                    "Stream channel of the per-channel features (GevStreamChannelSelector)")
        ->check(CLI::Range(0, 511));
    command.add_flag("--json", options.json, "Print one JSON object of name and value");
}

struct FeatureValue;
// A value as a JSON member: a number, a boolean or a text, as the feature has it.
void JsonValue(JsonWriter& json, const std::string& key, const FeatureValue& value);

}  // namespace tavi::cli
