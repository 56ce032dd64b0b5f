// `tavi set SERIAL FEATURE=VALUE...`: writes features by name through the device description, each
// value checked against the description before it is sent.

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

struct SetOptions : SelectorOptions {
    std::vector<std::string> assignments;
};

struct Assignment {
    std::string name;
    std::string value;  // empty for a bare command name
};

// Every assignment is checked for its shape before the camera is asked for anything.
bool ParseAssignments(const std::vector<std::string>& texts, std::vector<Assignment>* assignments) {
    for (const std::string& text : texts) {
        const size_t equals = text.find('=');
        if (equals == 0 || (equals != std::string::npos && equals + 1 == text.size())) {
            std::fprintf(stderr, "tavi: '%s' is not FEATURE=VALUE (or the name of a command feature)\n",
                         text.c_str());
            return false;
        }
        if (equals == std::string::npos) {
            assignments->push_back({text, ""});
        } else {
            assignments->push_back({text.substr(0, equals), text.substr(equals + 1)});
        }
    }
    return true;
}

int SetOne(GigeCamera& camera, const SetOptions& options, const Assignment& assignment, JsonWriter& json) {
    std::string why;
    const std::optional<FeatureDescription> feature =
        DescribeFeature(*camera.node_map, assignment.name, &why);
    if (!feature) {
        std::fprintf(stderr, "tavi: %s\n", why.c_str());
        return kExitFeature;
    }
    std::string value = assignment.value;
    if (value.empty()) {
        if (feature->kind != FeatureKind::kCommand) {
            std::fprintf(stderr, "tavi: %s needs a value: %s=VALUE\n", feature->name.c_str(),
                         feature->name.c_str());
            return kExitUsage;
        }
        value = std::to_string(feature->command_value);
    }
    const uint32_t index = IndexFor(*feature, options.sensor, options.channel);
    const WriteOutcome outcome = WriteFeatureValue(camera, *feature, index, value);
    if (outcome.exit_code != kExitOk) {
        std::fprintf(stderr, "tavi: %s\n", outcome.message.c_str());
        return outcome.exit_code;
    }
    if (options.json) {
        json.String(assignment.name, value);
    } else {
        std::printf("%s = %s: done\n", IndexedName(*feature, index).c_str(), value.c_str());
    }
    return kExitOk;
}

int RunSet(const SetOptions& options) {
    std::vector<Assignment> assignments;
    if (!ParseAssignments(options.assignments, &assignments)) return kExitUsage;
    int exit_code = kExitOk;
    const std::unique_ptr<CameraSession> session = OpenCamera(options.serial, &exit_code);
    if (!session) return exit_code;
    JsonWriter json;
    json.BeginObject();
    // Assignments run in order and stop at the first refusal, so that the camera is never left with
    // a later value applied on top of a refused earlier one.
    for (const Assignment& assignment : assignments) {
        exit_code = SetOne(session->camera(), options, assignment, json);
        if (exit_code != kExitOk) break;
    }
    json.EndObject();
    if (options.json && exit_code == kExitOk) std::printf("%s\n", json.Text().c_str());
    return exit_code;
}

}  // namespace

Command AddSetCommand(CLI::App& app) {
    auto* command =
        app.add_subcommand("set", "Write features by name: FEATURE=VALUE, or a command's name alone");
    auto options = std::make_shared<SetOptions>();
    AddSelectorOptions(*command, *options);
    command->add_option("assignments", options->assignments, "e.g. ExposureTime=5000 TriggerMode=On")
        ->required();
    return {command, [options] { return RunSet(*options); }};
}

}  // namespace tavi::cli
