// `tavi dump SERIAL`: every feature of the device description with its value, access mode and
// limits; per-sensor and per-channel features once for each sensor or channel.

#include <cstdio>
#include <memory>
#include <string>

#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"
#include "feature_options.h"
#include "feature_values.h"

namespace tavi::cli {
namespace {

struct DumpOptions {
    std::string serial;
    bool json = false;
};

std::string LimitText(const std::optional<int64_t>& limit) { return limit ? std::to_string(*limit) : "-"; }

uint32_t IndexCount(GigeCamera& camera, const FeatureDescription& feature) {
    switch (feature.offset) {
        case FeatureOffset::kSensor:
            return SensorCount(camera);
        case FeatureOffset::kChannel:
            return ChannelCount(camera);
        case FeatureOffset::kNone:
            return 1;
    }
    return 1;
}

void JsonLimits(JsonWriter& json, const FeatureLimits& limits) {
    if (limits.min) json.Integer("min", *limits.min);
    if (limits.max) json.Integer("max", *limits.max);
    if (limits.inc) json.Integer("inc", *limits.inc);
}

// One feature: a line per index, or one JSON object with a value per index. False when a read failed.
bool DumpFeature(GigeCamera& camera, const FeatureDescription& feature, const DumpOptions& options,
                 JsonWriter& json) {
    bool all_read = true;
    const uint32_t count = IndexCount(camera, feature);
    if (options.json) {
        json.BeginObject()
            .String("name", feature.name)
            .String("type", KindText(feature.kind))
            .String("node", feature.node_kind)
            .String("access", feature.access);
        if (feature.offset != FeatureOffset::kNone) json.String("per", OffsetText(feature.offset));
        if (!feature.choices.empty()) {
            json.BeginArray("choices");
            for (const EnumChoice& choice : feature.choices) json.String({}, choice.name);
            json.EndArray();
        }
        JsonLimits(json, ReadLimits(camera, feature, 0));
        json.BeginArray("values");
    }
    for (uint32_t index = 0; index < count; ++index) {
        FeatureValue value;
        const int code = ReadFeatureValue(camera, feature, index, &value);
        if (code != 0) {
            all_read = false;
            value.text = "(unreadable: " + ResultText(code) + ")";
        }
        if (options.json) {
            json.BeginObject();
            if (code != 0) {
                json.Null("value").String("error", ResultText(code));
            } else {
                JsonValue(json, "value", value);
            }
            json.EndObject();
            continue;
        }
        const FeatureLimits limits = ReadLimits(camera, feature, index);
        std::printf("%-34s %-11s %-2s %-24s min %s max %s inc %s\n", IndexedName(feature, index).c_str(),
                    KindText(feature.kind), feature.access.c_str(), value.text.c_str(),
                    LimitText(limits.min).c_str(), LimitText(limits.max).c_str(),
                    LimitText(limits.inc).c_str());
    }
    if (options.json) json.EndArray().EndObject();
    return all_read;
}

int RunDump(const DumpOptions& options) {
    int exit_code = kExitOk;
    const std::unique_ptr<CameraSession> session = OpenCamera(options.serial, &exit_code);
    if (!session) return exit_code;
    GigeCamera& camera = session->camera();
    JsonWriter json;
    json.BeginObject().String("serial", options.serial).BeginArray("features");
    int unreadable = 0;
    for (const DescriptionNode& node : camera.node_map->GetNodes()) {
        if (!node.is_feature || node.kind == "Category") continue;
        std::string why;
        const std::optional<FeatureDescription> feature = DescribeFeature(*camera.node_map, node.name, &why);
        if (!feature) continue;
        if (!DumpFeature(camera, *feature, options, json)) ++unreadable;
    }
    json.EndArray().EndObject();
    if (options.json) std::printf("%s\n", json.Text().c_str());
    if (unreadable > 0) {
        std::fprintf(stderr, "tavi: %d feature%s could not be read\n", unreadable,
                     unreadable == 1 ? "" : "s");
        return kExitCameraRefused;
    }
    return kExitOk;
}

}  // namespace

Command AddDumpCommand(CLI::App& app) {
    auto* command = app.add_subcommand("dump", "Print every feature with its value, access mode and limits");
    auto options = std::make_shared<DumpOptions>();
    command->add_option("serial", options->serial, "Serial number of the camera")->required();
    command->add_flag("--json", options->json, "Print one JSON object");
    return {command, [options] { return RunDump(*options); }};
}

}  // namespace tavi::cli
