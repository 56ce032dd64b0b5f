#include "feature_values.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "camera_session.h"
#include "exit_codes.h"

namespace tavi::cli {
namespace {

// How deep a pValue chain may go before the description counts as broken.
constexpr int kMaxValueChain = 8;
// The most sensors and channels a listing walks: real cameras have a handful.
constexpr uint32_t kMaxListedIndices = 16;

struct KindOfNode {
    const char* node_kind;
    FeatureKind kind;
};

constexpr KindOfNode kKindsOfNodes[] = {
    {"Integer", FeatureKind::kInteger},      {"IntReg", FeatureKind::kInteger},
    {"MaskedIntReg", FeatureKind::kInteger}, {"IntConverter", FeatureKind::kInteger},
    {"Float", FeatureKind::kFloat},          {"FloatReg", FeatureKind::kFloat},
    {"Boolean", FeatureKind::kBoolean},      {"Enumeration", FeatureKind::kEnumeration},
    {"Command", FeatureKind::kCommand},      {"StringReg", FeatureKind::kString},
    {"String", FeatureKind::kString},        {"Register", FeatureKind::kRegister},
    {"StructEntry", FeatureKind::kInteger},  {"IntSwissKnife", FeatureKind::kWide},
};

// The selectors whose registers repeat at the strides the feature-access path knows.
struct SelectorOffset {
    const char* selector;
    FeatureOffset offset;
};

constexpr SelectorOffset kSelectorOffsets[] = {
    {"CmosSelector", FeatureOffset::kSensor},
    {"GevStreamChannelSelector", FeatureOffset::kChannel},
};

std::optional<int64_t> ParseInteger(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

std::optional<int64_t> Property(const DescriptionNode& node, const char* name) {
    const std::string* text = node.Property(name);
    return text != nullptr ? ParseInteger(*text) : std::nullopt;
}

std::string PropertyText(const DescriptionNode& node, const char* name) {
    const std::string* text = node.Property(name);
    return text != nullptr ? *text : std::string();
}

// The node that holds the feature's register: the end of its pValue chain.
const DescriptionNode* RegisterNode(const NodeMap& map, const DescriptionNode& feature) {
    const DescriptionNode* node = &feature;
    for (int depth = 0; depth < kMaxValueChain; ++depth) {
        const std::string* next = node->Property("pValue");
        if (next == nullptr) return node;
        const DescriptionNode* target = map.GetNode(*next);
        if (target == nullptr) return nullptr;
        node = target;
    }
    return nullptr;
}

void DescribeBits(const DescriptionNode& reg, FeatureDescription* feature) {
    const bool big_endian = PropertyText(reg, "Endianess") == "BigEndian";
    const int64_t register_bits = 8 * static_cast<int64_t>(Property(reg, "Length").value_or(4));
    std::optional<int64_t> lsb = Property(reg, "LSB"), msb = Property(reg, "MSB");
    if (const std::optional<int64_t> bit = Property(reg, "Bit")) lsb = msb = bit;
    if (!lsb || !msb || register_bits != 32) return;
    // Big-endian registers number bits from the most significant one.
    int64_t low = big_endian ? register_bits - 1 - *lsb : *lsb;
    int64_t high = big_endian ? register_bits - 1 - *msb : *msb;
    if (low > high) std::swap(low, high);
    if (low < 0 || high > 31) return;
    feature->shift = static_cast<unsigned>(low);
    feature->bits = static_cast<unsigned>(high - low + 1);
}

void DescribeChoices(const NodeMap& map, FeatureDescription* feature) {
    const std::string prefix = "EnumEntry_" + feature->name + "_";
    for (const DescriptionNode& node : map.GetNodes()) {
        if (node.name.compare(0, prefix.size(), prefix) != 0) continue;
        if (const std::optional<int64_t> value = Property(node, "Value"))
            feature->choices.push_back({node.name.substr(prefix.size()), *value});
    }
}

void DescribeLimits(const DescriptionNode& node, FeatureDescription* feature) {
    feature->min = Property(node, "Min");
    feature->max = Property(node, "Max");
    feature->inc = Property(node, "Inc");
    feature->min_node = PropertyText(node, "pMin");
    feature->max_node = PropertyText(node, "pMax");
}

void DescribeWide(const DescriptionNode& node, FeatureDescription* feature) {
    // The one formula tavi evaluates: two 32-bit registers joined into a 64-bit value.
    const std::string* variables = node.Property("pVariable");
    if (variables == nullptr || PropertyText(node, "Formula") != "(HIGH << 32) | LOW") return;
    const size_t space = variables->find(' ');
    if (space == std::string::npos) return;
    feature->high = variables->substr(0, space);
    feature->low = variables->substr(space + 1);
    feature->access = "RO";
}

uint32_t Mask(unsigned bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u; }

int64_t FieldValue(const FeatureDescription& feature, uint32_t raw) {
    const uint32_t field = (raw >> feature.shift) & Mask(feature.bits);
    if (feature.is_signed && feature.bits < 64 && (field >> (feature.bits - 1)) != 0)
        return static_cast<int64_t>(field) - (int64_t{1} << feature.bits);
    return field;
}

std::string IntegerText(int64_t value) { return std::to_string(value); }

int ReadRaw(GigeCamera& camera, const std::string& name, FeatureOffset offset, uint32_t index,
            uint32_t* raw) {
    int value = 0;
    const int code = ReadFeature(camera, {name.c_str(), offset, index}, &value);
    if (code == 0) *raw = static_cast<uint32_t>(value);
    return code;
}

int ReadWide(GigeCamera& camera, const FeatureDescription& feature, FeatureValue* value) {
    if (feature.high.empty()) {
        value->text = "(formula)";
        return 0;
    }
    uint32_t high = 0, low = 0;
    int code = ReadRaw(camera, feature.high, FeatureOffset::kNone, 0, &high);
    if (code == 0) code = ReadRaw(camera, feature.low, FeatureOffset::kNone, 0, &low);
    if (code != 0) return code;
    const uint64_t joined = (uint64_t{high} << 32) | low;
    value->number = static_cast<int64_t>(joined);
    value->text = std::to_string(joined);
    return 0;
}

int ReadText(GigeCamera& camera, const FeatureDescription& feature, FeatureValue* value) {
    char text[4097] = {};
    const int code = camera.ReadStringRegister(feature.name.c_str(), text, sizeof text);
    if (code != 0) return code;
    value->text = text;
    return 0;
}

std::optional<int64_t> ReadLimit(GigeCamera& camera, const std::string& node_name, uint32_t index) {
    if (camera.node_map == nullptr) return std::nullopt;
    std::string why;
    const std::optional<FeatureDescription> limit = DescribeFeature(*camera.node_map, node_name, &why);
    FeatureValue value;
    if (!limit || ReadFeatureValue(camera, *limit, index, &value) != 0) return std::nullopt;
    return value.number;
}

std::optional<bool> ParseFlag(const std::string& text) {
    static const char* const kTrue[] = {"1", "true", "on", "True", "On"};
    static const char* const kFalse[] = {"0", "false", "off", "False", "Off"};
    for (const char* word : kTrue)
        if (text == word) return true;
    for (const char* word : kFalse)
        if (text == word) return false;
    return std::nullopt;
}

std::string LimitsText(const FeatureLimits& limits) {
    std::string text;
    if (limits.min) text += " from " + IntegerText(*limits.min);
    if (limits.max) text += " up to " + IntegerText(*limits.max);
    if (limits.inc && *limits.inc > 1) text += " in steps of " + IntegerText(*limits.inc);
    return text;
}

WriteOutcome Refused(const FeatureDescription& feature, const std::string& text, const std::string& why) {
    return {kExitFeature, feature.name + "=" + text + " is refused: " + why};
}

// The register value that writes `text` into the feature, or a refusal.
std::optional<int64_t> ValueOfText(GigeCamera& camera, const FeatureDescription& feature, uint32_t index,
                                   const std::string& text, WriteOutcome* refusal) {
    switch (feature.kind) {
        case FeatureKind::kBoolean: {
            const std::optional<bool> flag = ParseFlag(text);
            if (!flag) *refusal = Refused(feature, text, "a boolean takes true or false (1 or 0)");
            return flag ? std::optional<int64_t>(*flag ? 1 : 0) : std::nullopt;
        }
        case FeatureKind::kEnumeration: {
            std::string names;
            for (const EnumChoice& choice : feature.choices) {
                if (choice.name == text) return choice.value;
                names += (names.empty() ? "" : ", ") + choice.name;
            }
            *refusal = Refused(feature, text, "the choices are " + names);
            return std::nullopt;
        }
        case FeatureKind::kInteger:
        case FeatureKind::kCommand: {
            const std::optional<int64_t> number = ParseInteger(text);
            if (!number) {
                *refusal = Refused(feature, text, "not an integer");
                return std::nullopt;
            }
            const FeatureLimits limits = ReadLimits(camera, feature, index);
            // The register's width first, so that the step arithmetic below works on 33-bit values at most.
            const bool too_wide = *number < (feature.is_signed ? -(int64_t{1} << (feature.bits - 1)) : 0) ||
                                  *number > static_cast<int64_t>(Mask(feature.bits));
            const bool below = limits.min && *number < *limits.min;
            const bool above = limits.max && *number > *limits.max;
            const int64_t base =
                limits.min && *limits.min > INT32_MIN && *limits.min < UINT32_MAX ? *limits.min : 0;
            const bool off_step =
                !too_wide && limits.inc && *limits.inc > 1 && (*number - base) % *limits.inc != 0;
            if (below || above || off_step || too_wide) {
                *refusal =
                    Refused(feature, text,
                            "the description allows" + (LimitsText(limits).empty()
                                                            ? " " + IntegerText(feature.bits) + "-bit values"
                                                            : LimitsText(limits)));
                return std::nullopt;
            }
            return number;
        }
        default:
            *refusal = {kExitFeature,
                        feature.name + " is a " + KindText(feature.kind) +
                            " feature; tavi sets integers, booleans, enumerations and commands"};
            return std::nullopt;
    }
}

}  // namespace

const char* KindText(FeatureKind kind) {
    switch (kind) {
        case FeatureKind::kInteger:
            return "integer";
        case FeatureKind::kFloat:
            return "float";
        case FeatureKind::kBoolean:
            return "boolean";
        case FeatureKind::kEnumeration:
            return "enumeration";
        case FeatureKind::kCommand:
            return "command";
        case FeatureKind::kString:
            return "string";
        case FeatureKind::kRegister:
            return "register";
        case FeatureKind::kWide:
            return "integer";
    }
    return "unknown";
}

const char* OffsetText(FeatureOffset offset) {
    switch (offset) {
        case FeatureOffset::kSensor:
            return "sensor";
        case FeatureOffset::kChannel:
            return "channel";
        case FeatureOffset::kNone:
            return "";
    }
    return "";
}

std::optional<FeatureDescription> DescribeFeature(const NodeMap& map, const std::string& name,
                                                  std::string* why) {
    const DescriptionNode* node = map.GetNode(name);
    if (node == nullptr || node->kind == "Category" || node->kind == "Port" || node->kind == "EnumEntry") {
        *why = "the camera's description has no feature " + name + "; `tavi dump` lists them";
        return std::nullopt;
    }
    FeatureDescription feature;
    feature.name = name;
    feature.node_kind = node->kind;
    bool known = false;
    for (const KindOfNode& entry : kKindsOfNodes) {
        if (node->kind == entry.node_kind) feature.kind = entry.kind, known = true;
    }
    if (!known) {
        *why = name + " is a " + node->kind + " node, which tavi does not read or write";
        return std::nullopt;
    }
    feature.tooltip = PropertyText(*node, "ToolTip");
    feature.command_value = Property(*node, "CommandValue").value_or(1);
    DescribeLimits(*node, &feature);
    if (feature.kind == FeatureKind::kEnumeration) DescribeChoices(map, &feature);
    if (feature.kind == FeatureKind::kWide) {
        DescribeWide(*node, &feature);
        return feature;
    }
    const DescriptionNode* reg = RegisterNode(map, *node);
    if (reg == nullptr) {
        *why = "the description's value chain of " + name + " does not end in a register";
        return std::nullopt;
    }
    const std::string index_selector = PropertyText(*reg, "pIndex");
    for (const SelectorOffset& entry : kSelectorOffsets) {
        if (index_selector == entry.selector) feature.offset = entry.offset;
    }
    feature.access = PropertyText(*node, "AccessMode");
    if (feature.access.empty()) feature.access = PropertyText(*reg, "AccessMode");
    if (feature.access.empty()) feature.access = "RW";
    feature.length = static_cast<uint32_t>(Property(*reg, "Length").value_or(4));
    feature.is_signed = PropertyText(*reg, "Sign") == "Signed";
    feature.float_register = reg->kind == "FloatReg";
    if (reg->kind == "MaskedIntReg") DescribeBits(*reg, &feature);
    return feature;
}

int ReadFeatureValue(GigeCamera& camera, const FeatureDescription& feature, uint32_t index,
                     FeatureValue* value) {
    if (!feature.readable()) {
        value->text = feature.kind == FeatureKind::kCommand ? "(command)" : "(write-only)";
        return 0;
    }
    switch (feature.kind) {
        case FeatureKind::kWide:
            return ReadWide(camera, feature, value);
        case FeatureKind::kString:
            return ReadText(camera, feature, value);
        case FeatureKind::kRegister:
            value->text = "(" + std::to_string(feature.length) + "-byte block)";
            return 0;
        default:
            break;
    }
    uint32_t raw = 0;
    const int code = ReadRaw(camera, feature.name, feature.offset, index, &raw);
    if (code != 0) return code;
    if (feature.float_register) {
        float real = 0;
        std::memcpy(&real, &raw, sizeof real);
        value->real = real;
        value->text = std::to_string(real);
        return 0;
    }
    const int64_t number = FieldValue(feature, raw);
    value->number = number;
    value->text = IntegerText(number);
    if (feature.kind == FeatureKind::kBoolean) {
        value->flag = number != 0;
        value->text = number != 0 ? "true" : "false";
    }
    for (const EnumChoice& choice : feature.choices) {
        if (choice.value == number) value->text = choice.name;
    }
    return 0;
}

FeatureLimits ReadLimits(GigeCamera& camera, const FeatureDescription& feature, uint32_t index) {
    FeatureLimits limits{feature.min, feature.max, feature.inc};
    if (!limits.min && !feature.min_node.empty()) limits.min = ReadLimit(camera, feature.min_node, index);
    if (!limits.max && !feature.max_node.empty()) limits.max = ReadLimit(camera, feature.max_node, index);
    return limits;
}

WriteOutcome WriteFeatureValue(GigeCamera& camera, const FeatureDescription& feature, uint32_t index,
                               const std::string& text) {
    if (!feature.writable()) return {kExitFeature, feature.name + " is read-only"};
    WriteOutcome refusal;
    const std::optional<int64_t> value = ValueOfText(camera, feature, index, text, &refusal);
    if (!value) return refusal;
    uint32_t raw = static_cast<uint32_t>(*value);
    if (feature.bits < 32) {
        // The other fields of the register keep their values.
        uint32_t current = 0;
        const int code = ReadRaw(camera, feature.name, feature.offset, index, &current);
        if (code != 0)
            return {kExitCameraRefused, "reading " + feature.name + " failed (" + ResultText(code) + ")"};
        const uint32_t mask = Mask(feature.bits) << feature.shift;
        raw = (current & ~mask) | ((raw << feature.shift) & mask);
    }
    const int code =
        WriteFeature(camera, {feature.name.c_str(), feature.offset, index}, static_cast<int>(raw));
    if (code != 0) {
        return {kExitCameraRefused,
                "the camera refused " + feature.name + "=" + text + " (" + ResultText(code) + ")"};
    }
    return {};
}

std::string IndexedName(const FeatureDescription& feature, uint32_t index) {
    if (feature.offset == FeatureOffset::kNone) return feature.name;
    return feature.name + "[" + OffsetText(feature.offset) + " " + std::to_string(index) + "]";
}

uint32_t SensorCount(GigeCamera& camera) {
    return std::min<uint32_t>(static_cast<uint32_t>(std::max(camera.cmos_count, 1)), kMaxListedIndices);
}

uint32_t ChannelCount(GigeCamera& camera) {
    int count = 0;
    if (ReadFeature(camera, {"GevStreamChannelCount"}, &count) != 0 || count < 1) return 1;
    return std::min<uint32_t>(static_cast<uint32_t>(count), kMaxListedIndices);
}

}  // namespace tavi::cli
