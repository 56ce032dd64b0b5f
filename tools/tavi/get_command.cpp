// `tavi get SERIAL FEATURE...`: reads features by name through the device description.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"
#include "feature_options.h"
#include "feature_values.h"

namespace tavi::cli {
namespace {

struct GetOptions : SelectorOptions {
    std::vector<std::string> names;
};

int RunGet(const GetOptions& options) {
    int exit_code = kExitOk;
    const std::unique_ptr<CameraSession> session = OpenCamera(options.serial, &exit_code);
    if (!session) return exit_code;
    GigeCamera& camera = session->camera();
    JsonWriter json;
    json.BeginObject();
    for (const std::string& name : options.names) {
        std::string why;
        const std::optional<FeatureDescription> feature = DescribeFeature(*camera.node_map, name, &why);
        if (!feature) {
            std::fprintf(stderr, "tavi: %s\n", why.c_str());
            if (exit_code == kExitOk) exit_code = kExitFeature;
            continue;
        }
        const uint32_t index = IndexFor(*feature, options.sensor, options.channel);
        FeatureValue value;
        const int code = ReadFeatureValue(camera, *feature, index, &value);
        if (code != 0) {
            std::fprintf(stderr, "tavi: reading %s failed (%s)\n", IndexedName(*feature, index).c_str(),
                         ResultText(code).c_str());
            if (exit_code == kExitOk) exit_code = kExitCameraRefused;
            continue;
        }
        if (options.json) {
            JsonValue(json, name, value);
        } else {
            std::printf("%s = %s\n", IndexedName(*feature, index).c_str(), value.text.c_str());
        }
    }
    json.EndObject();
    if (options.json) std::printf("%s\n", json.Text().c_str());
    return exit_code;
}

}  // namespace

void JsonValue(JsonWriter& json, const std::string& key, const FeatureValue& value) {
    if (value.flag) {
        json.Bool(key, *value.flag);
    } else if (value.number && value.text == std::to_string(*value.number)) {
        json.Integer(key, *value.number);
    } else if (value.real) {
        json.Number(key, *value.real);
    } else {
        json.String(key, value.text);
    }
}

Command AddGetCommand(CLI::App& app) {
    auto* command = app.add_subcommand("get", "Read features by name (`tavi dump` lists them)");
    auto options = std::make_shared<GetOptions>();
    AddSelectorOptions(*command, *options);
    command->add_option("features", options->names, "Feature names, e.g. Width ExposureTime")->required();
    return {command, [options] { return RunGet(*options); }};
}

}  // namespace tavi::cli
