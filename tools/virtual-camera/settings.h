#pragma once
// Everything that can be chosen about a virtual camera: its identity, its description file and the
// faults it shows. Each setting has one key, used alike as a command-line option (--key value) and
// on the control socket ("set key value"), so a test can change any of them while the camera runs.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vcam {

struct Settings {
    // Where the camera lives.
    std::string interface_name;  // empty: the first interface with an IPv4 address
    std::string control_path;    // unix socket of the fault control; empty: none
    // Identity (texts are cut to their bootstrap field width).
    std::string serial = "TV0000001";
    std::string mac;  // empty: the interface's own
    std::string manufacturer = "Tavi";
    std::string model = "Tavi Virtual 3D";
    std::string device_version = "1.0.0";
    std::string manufacturer_info = "virtual 3D camera";
    std::string user_name;
    // Device model.
    std::string description_format = "zip";  // zip or xml
    std::string description_name = "TaviVirtual3D";
    uint32_t cloud_unit = 10;
    uint64_t tick_frequency = 1000000000;
    uint32_t heartbeat_ms = 3000;
    uint32_t reboot_ms = 2000;
    std::string firmware_version;  // device version after a firmware update; empty: unchanged
    uint32_t frame_rate = 10;
    uint32_t register_base = 0;  // the camera's own registers answer this far above their map addresses
    // Scene (fixed at start).
    double noise_mm = 0.5;
    double outlier_ratio = 0.0005;
    uint64_t scene_seed = 1;
    // Faults.
    bool discovery_wrong_size = false;    // length field disagrees with the datagram's size
    bool discovery_oversize = false;      // acknowledge longer than 256 bytes
    uint32_t discovery_flood = 0;         // further copies of each discovery acknowledge
    uint32_t discovery_flood_gap_ms = 1;  // time between two copies
    uint32_t forceip_status = 0;          // status of the FORCEIP acknowledge; not 0: address kept
    bool control_held = false;            // another application holds the control channel
    bool gvcp_silent = false;             // no answer to anything (a pulled cable)
    uint32_t gvcp_silent_ms = 0;          // silent for this long from the moment it is set
    std::chrono::steady_clock::time_point silent_since{};
    uint32_t ack_delay_ms = 0;                     // every acknowledge leaves this late
    std::map<uint32_t, uint16_t> register_errors;  // address -> status of reads and writes
    std::string description_fault = "none";        // none, malformed, truncated, corrupt-zip
    bool first_url_unreadable = false;
    // A standard camera's optional parts: no source port register, no test packets, another
    // packet size at power-on.
    bool no_scsp = false;             // GevSCSP reads 0
    bool ignore_test_packet = false;  // SCPS bit 31 sends nothing
    uint32_t packet_size = 1500;      // SCPS at power-on
    bool verbose = false;
};

// The outcome of applying one key.
enum class SetResult { kApplied, kUnknownKey, kBadValue };

SetResult ApplySetting(Settings& settings, const std::string& key, const std::string& value);
bool FormatSetting(const Settings& settings, const std::string& key, std::string* value);
// True for keys that take no value on the command line (--key alone means 1).
bool IsFlagSetting(const std::string& key);
// True for keys that only take effect when the camera starts.
bool IsStartSetting(const std::string& key);
std::string SettingsHelp();

// Parses argv. Options the camera does not know are returned in `unknown` (for the stream engine);
// false and a message on malformed options.
bool ParseCommandLine(int argc, char** argv, Settings& settings,
                      std::vector<std::pair<std::string, std::string>>& unknown, std::string* error);

}  // namespace vcam
