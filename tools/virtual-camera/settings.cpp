#include "settings.h"

#include <charconv>
#include <cstdlib>
#include <sstream>

#include "device_map.h"

namespace vcam {
namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);  // decimal or 0x...
    if (errno != 0 || *end != '\0' || text[0] == '-' || value > max) return false;
    *out = value;
    return true;
}

template <auto Member>
bool ParseText(Settings& s, const std::string& v) {
    s.*Member = v;
    return true;
}
template <auto Member>
std::string FormatText(const Settings& s) {
    return s.*Member;
}

template <auto Member>
bool ParseNumber(Settings& s, const std::string& v) {
    using T = std::remove_reference_t<decltype(s.*Member)>;
    uint64_t value = 0;
    if (!ParseUnsigned(v, static_cast<uint64_t>(static_cast<T>(-1)), &value)) return false;
    s.*Member = static_cast<T>(value);
    return true;
}
template <auto Member>
std::string FormatNumber(const Settings& s) {
    return std::to_string(s.*Member);
}

template <auto Member>
bool ParseReal(Settings& s, const std::string& v) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(v.c_str(), &end);
    if (v.empty() || errno != 0 || *end != '\0' || !(value >= 0)) return false;
    s.*Member = value;
    return true;
}
template <auto Member>
std::string FormatReal(const Settings& s) {
    return std::to_string(s.*Member);
}

template <auto Member>
bool ParseFlag(Settings& s, const std::string& v) {
    if (v == "1" || v == "true" || v == "on") return s.*Member = true, true;
    if (v == "0" || v == "false" || v == "off") return s.*Member = false, true;
    return false;
}
template <auto Member>
std::string FormatFlag(const Settings& s) {
    return s.*Member ? "1" : "0";
}

template <auto Member, const char* const* Choices>
bool ParseChoice(Settings& s, const std::string& v) {
    for (const char* const* choice = Choices; *choice != nullptr; ++choice) {
        if (v == *choice) return s.*Member = v, true;
    }
    return false;
}

bool ParseMacSetting(Settings& s, const std::string& v) {
    unsigned bytes[6];
    char tail;
    if (!v.empty() && std::sscanf(v.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &bytes[0], &bytes[1], &bytes[2],
                                  &bytes[3], &bytes[4], &bytes[5], &tail) != 6) {
        return false;
    }
    s.mac = v;
    return true;
}

bool ParseSilentMs(Settings& s, const std::string& v) {
    if (!ParseNumber<&Settings::gvcp_silent_ms>(s, v)) return false;
    s.silent_since = std::chrono::steady_clock::now();
    return true;
}

// "ADDRESS:STATUS[,ADDRESS:STATUS...]", numbers decimal or 0x...; "none" or empty clears the list.
bool ParseRegisterErrors(Settings& s, const std::string& v) {
    std::map<uint32_t, uint16_t> errors;
    if (v != "none" && !v.empty()) {
        std::stringstream list(v);
        std::string item;
        while (std::getline(list, item, ',')) {
            size_t colon = item.find(':');
            uint64_t address = 0, status = 0;
            if (colon == std::string::npos || !ParseUnsigned(item.substr(0, colon), 0xFFFFFFFF, &address) ||
                !ParseUnsigned(item.substr(colon + 1), 0xFFFF, &status) || status == 0) {
                return false;
            }
            errors[static_cast<uint32_t>(address)] = static_cast<uint16_t>(status);
        }
    }
    s.register_errors = std::move(errors);
    return true;
}

std::string FormatRegisterErrors(const Settings& s) {
    std::string text;
    char item[32];
    for (const auto& [address, status] : s.register_errors) {
        std::snprintf(item, sizeof item, "%s0x%X:0x%X", text.empty() ? "" : ",", address, status);
        text += item;
    }
    return text.empty() ? "none" : text;
}

// 0, or a base that moves the camera's own registers clear of the bootstrap registers and the
// description file.
bool ParseRegisterBase(Settings& s, const std::string& v) {
    uint64_t base = 0;
    if (!ParseUnsigned(v, 0xFFFFFFFF, &base)) return false;
    const bool usable = base == 0 || (base % map::kRegisterBaseAlignment == 0 &&
                                      base >= map::kLowestRegisterBase && base <= map::kHighestRegisterBase);
    if (!usable) return false;
    s.register_base = static_cast<uint32_t>(base);
    return true;
}

std::string FormatRegisterBase(const Settings& s) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", s.register_base);
    return text;
}

constexpr const char* kFormats[] = {"zip", "xml", nullptr};
constexpr const char* kDescriptionFaults[] = {"none", "malformed", "truncated", "corrupt-zip", nullptr};

struct SettingEntry {
    const char* key;
    const char* argument;  // nullptr: a flag
    const char* help;
    bool (*parse)(Settings&, const std::string&);
    std::string (*format)(const Settings&);
    bool at_start_only = false;
};

const SettingEntry kSettings[] = {
    {"interface", "NAME", "network interface the camera answers on (default: first with IPv4)",
     ParseText<&Settings::interface_name>, FormatText<&Settings::interface_name>, true},
    {"control", "PATH", "unix socket for run-time settings and faults", ParseText<&Settings::control_path>,
     FormatText<&Settings::control_path>, true},
    {"serial", "TEXT", "serial number (16 bytes)", ParseText<&Settings::serial>,
     FormatText<&Settings::serial>},
    {"mac", "XX:XX:XX:XX:XX:XX", "MAC address reported (default: the interface's)", ParseMacSetting,
     FormatText<&Settings::mac>},
    {"manufacturer", "TEXT", "manufacturer name (32 bytes)", ParseText<&Settings::manufacturer>,
     FormatText<&Settings::manufacturer>},
    {"model", "TEXT", "model name (32 bytes)", ParseText<&Settings::model>, FormatText<&Settings::model>},
    {"device-version", "TEXT", "device version (32 bytes)", ParseText<&Settings::device_version>,
     FormatText<&Settings::device_version>},
    {"manufacturer-info", "TEXT", "manufacturer-specific information (48 bytes)",
     ParseText<&Settings::manufacturer_info>, FormatText<&Settings::manufacturer_info>},
    {"user-name", "TEXT", "user-defined name (16 bytes)", ParseText<&Settings::user_name>,
     FormatText<&Settings::user_name>},
    {"description", "zip|xml", "description file served zipped or plain",
     ParseChoice<&Settings::description_format, kFormats>, FormatText<&Settings::description_format>},
    {"description-name", "TEXT", "file name of the description in the URL",
     ParseText<&Settings::description_name>, FormatText<&Settings::description_name>},
    {"cloud-unit", "N", "DeviceCloudUnit: raw point steps per millimetre", ParseNumber<&Settings::cloud_unit>,
     FormatNumber<&Settings::cloud_unit>, true},
    {"noise-mm", "MM", "standard deviation of the depth noise", ParseReal<&Settings::noise_mm>,
     FormatReal<&Settings::noise_mm>, true},
    {"outlier-ratio", "RATIO", "share of measured points replaced by stray points",
     ParseReal<&Settings::outlier_ratio>, FormatReal<&Settings::outlier_ratio>, true},
    {"scene-seed", "N", "seed of the scene's noise and stray points", ParseNumber<&Settings::scene_seed>,
     FormatNumber<&Settings::scene_seed>, true},
    {"tick-frequency", "HZ", "timestamp ticks per second", ParseNumber<&Settings::tick_frequency>,
     FormatNumber<&Settings::tick_frequency>},
    {"heartbeat-ms", "MS", "heartbeat time-out at power-on", ParseNumber<&Settings::heartbeat_ms>,
     FormatNumber<&Settings::heartbeat_ms>},
    {"reboot-ms", "MS", "how long a reboot keeps the camera silent", ParseNumber<&Settings::reboot_ms>,
     FormatNumber<&Settings::reboot_ms>},
    {"firmware-version", "TEXT", "device version after a firmware update and reboot",
     ParseText<&Settings::firmware_version>, FormatText<&Settings::firmware_version>},
    {"register-base", "ADDR",
     "the camera's own registers and memory blocks answer ADDR higher (0, or a multiple of 0x100 from "
     "0x1F0000 to 0xFFF00000), as the description says",
     ParseRegisterBase, FormatRegisterBase, true},
    {"frame-rate", "FPS", "AcquisitionFrameRate at power-on", ParseNumber<&Settings::frame_rate>,
     FormatNumber<&Settings::frame_rate>},
    {"discovery-wrong-size", nullptr,
     "fault: discovery acknowledge whose length field disagrees with its size",
     ParseFlag<&Settings::discovery_wrong_size>, FormatFlag<&Settings::discovery_wrong_size>},
    {"discovery-oversize", nullptr, "fault: discovery acknowledge of more than 256 bytes",
     ParseFlag<&Settings::discovery_oversize>, FormatFlag<&Settings::discovery_oversize>},
    {"discovery-flood", "N", "fault: each discovery is answered N more times (a flooding device)",
     ParseNumber<&Settings::discovery_flood>, FormatNumber<&Settings::discovery_flood>},
    {"discovery-flood-gap-ms", "MS", "fault: time between two answers of a discovery flood",
     ParseNumber<&Settings::discovery_flood_gap_ms>, FormatNumber<&Settings::discovery_flood_gap_ms>},
    {"forceip-status", "STATUS", "fault: FORCEIP answered with this status (address kept)",
     ParseNumber<&Settings::forceip_status>, FormatNumber<&Settings::forceip_status>},
    {"control-held", nullptr, "fault: another application holds the control channel",
     ParseFlag<&Settings::control_held>, FormatFlag<&Settings::control_held>},
    {"gvcp-silent", nullptr, "fault: no answer on the control channel until cleared",
     ParseFlag<&Settings::gvcp_silent>, FormatFlag<&Settings::gvcp_silent>},
    {"gvcp-silent-ms", "MS", "fault: no answer on the control channel for MS from now", ParseSilentMs,
     FormatNumber<&Settings::gvcp_silent_ms>},
    {"ack-delay-ms", "MS", "fault: every acknowledge is sent this late", ParseNumber<&Settings::ack_delay_ms>,
     FormatNumber<&Settings::ack_delay_ms>},
    {"register-error", "ADDR:STATUS[,...]", "fault: reads and writes of ADDR answered with STATUS",
     ParseRegisterErrors, FormatRegisterErrors},
    {"description-fault", "none|malformed|truncated|corrupt-zip", "fault: a damaged description file",
     ParseChoice<&Settings::description_fault, kDescriptionFaults>, FormatText<&Settings::description_fault>},
    {"first-url-unreadable", nullptr, "fault: the First URL register refuses reads",
     ParseFlag<&Settings::first_url_unreadable>, FormatFlag<&Settings::first_url_unreadable>},
    {"no-scsp", nullptr, "the stream channel source port register (GevSCSP) reads 0",
     ParseFlag<&Settings::no_scsp>, FormatFlag<&Settings::no_scsp>},
    {"ignore-test-packet", nullptr, "SCPS bit 31 (fire a test packet) sends nothing",
     ParseFlag<&Settings::ignore_test_packet>, FormatFlag<&Settings::ignore_test_packet>},
    {"packet-size", "BYTES", "stream packet size (SCPS) of every channel at power-on",
     ParseNumber<&Settings::packet_size>, FormatNumber<&Settings::packet_size>, true},
    {"verbose", nullptr, "log every command to standard error", ParseFlag<&Settings::verbose>,
     FormatFlag<&Settings::verbose>},
};

const SettingEntry* FindSetting(const std::string& key) {
    for (const SettingEntry& entry : kSettings) {
        if (key == entry.key) return &entry;
    }
    return nullptr;
}

}  // namespace

SetResult ApplySetting(Settings& settings, const std::string& key, const std::string& value) {
    const SettingEntry* entry = FindSetting(key);
    if (entry == nullptr) return SetResult::kUnknownKey;
    return entry->parse(settings, value) ? SetResult::kApplied : SetResult::kBadValue;
}

bool FormatSetting(const Settings& settings, const std::string& key, std::string* value) {
    const SettingEntry* entry = FindSetting(key);
    if (entry == nullptr) return false;
    *value = entry->format(settings);
    return true;
}

bool IsStartSetting(const std::string& key) {
    const SettingEntry* entry = FindSetting(key);
    return entry != nullptr && entry->at_start_only;
}

bool IsFlagSetting(const std::string& key) {
    const SettingEntry* entry = FindSetting(key);
    return entry != nullptr && entry->argument == nullptr;
}

std::string SettingsHelp() {
    std::string help;
    for (const SettingEntry& entry : kSettings) {
        std::string option = std::string("  --") + entry.key;
        if (entry.argument != nullptr) option += std::string(" ") + entry.argument;
        option.resize(std::max<size_t>(option.size() + 1, 40), ' ');
        help += option + entry.help + (entry.at_start_only ? " (at start only)" : "") + "\n";
    }
    return help;
}

bool ParseCommandLine(int argc, char** argv, Settings& settings,
                      std::vector<std::pair<std::string, std::string>>& unknown, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0 || word.size() == 2) {
            *error = "unexpected argument '" + word + "'";
            return false;
        }
        std::string key = word.substr(2), value;
        size_t equals = key.find('=');
        bool has_value = equals != std::string::npos;
        if (has_value) {
            value = key.substr(equals + 1);
            key.resize(equals);
        }
        bool next_is_option = i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0;
        if (!has_value && IsFlagSetting(key) && next_is_option) {
            value = "1";
        } else if (!has_value) {
            if (i + 1 >= argc) {
                *error = "option --" + key + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        switch (ApplySetting(settings, key, value)) {
            case SetResult::kApplied:
                break;
            case SetResult::kUnknownKey:
                unknown.emplace_back(key, value);
                break;
            case SetResult::kBadValue:
                *error = "bad value '" + value + "' for --" + key;
                return false;
        }
    }
    return true;
}

}  // namespace vcam
