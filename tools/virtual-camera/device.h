#pragma once
// The camera's device model: its address space (bootstrap registers, the camera's own registers and
// memory blocks) and what reads and writes of it do — control channel privilege and heartbeat,
// stream channels, acquisition, triggers, clock, firmware reboot. Runs on the camera's one control
// thread; the streaming engine it drives has threads of its own.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "gvcp_layout.h"
#include "net_interface.h"
#include "settings.h"
#include "streaming/stream_engine.h"

namespace vcam {

using Clock = std::chrono::steady_clock;

// Who sent a command: the application's address and UDP port (host byte order).
struct Requester {
    uint32_t ip = 0;
    uint16_t port = 0;
    bool operator==(const Requester&) const = default;
};

class Device {
  public:
    Device(Settings& settings, NetInterface& net, StreamEngine& streams);

    // Power-on state: registers at their defaults, control free, streams stopped.
    void PowerOn(Clock::time_point now);
    // Takes identity texts, MAC and description file from the settings again.
    void RefreshFromSettings();

    gvcp::Status Read(const Requester& from, uint32_t address, uint32_t* value);
    gvcp::Status Write(const Requester& from, uint32_t address, uint32_t value, Clock::time_point now);
    gvcp::Status ReadMemory(const Requester& from, uint32_t address, uint32_t count,
                            std::vector<uint8_t>* data);
    // `written` receives the number of bytes written before a failure (all of them on success).
    gvcp::Status WriteMemory(const Requester& from, uint32_t address, std::span<const uint8_t> data,
                             Clock::time_point now, size_t* written);

    // Every command from the controller keeps its control alive.
    void NoteCommand(const Requester& from, Clock::time_point now);
    // Heartbeat expiry and the reboot that a DeviceReboot write asked for.
    void Tick(Clock::time_point now);
    bool Rebooting(Clock::time_point now) const { return now < reboot_until_; }

    void Resend(uint32_t channel, uint16_t block_id, uint32_t first_packet, uint32_t last_packet);

    // Facts for the discovery acknowledge.
    InterfaceState Network() const;
    std::array<uint8_t, 6> Mac() const;
    std::span<const uint8_t> IdentityText() const;  // manufacturer name … user name, 176 bytes
    uint32_t IpConfigCurrent() const;

    uint64_t Ticks(Clock::time_point now) const;
    bool HasController() const { return controller_.has_value(); }

  private:
    enum class Access { kReadOnly, kReadWrite, kWriteOnly };
    using WriteHook = std::function<gvcp::Status(uint32_t value)>;
    using ReadHook = std::function<uint32_t()>;
    struct Register {
        uint32_t value = 0;
        Access access = Access::kReadOnly;
        WriteHook on_write;  // validates and applies; stores the value itself when it accepts it
        ReadHook on_read;    // a value computed at the moment of the read
    };
    struct Block {
        uint32_t base = 0;
        std::vector<uint8_t> bytes;
        uint32_t writable_from = 0, writable_to = 0;  // writable address range, empty when equal
    };

    void AddRegister(uint32_t address, uint32_t value, Access access, WriteHook on_write = {},
                     ReadHook on_read = {});
    void BuildBootstrap();
    void BuildDeviceRegisters();
    void BuildSensor(uint32_t sensor);
    void BuildChannel(uint32_t channel);
    void BuildMemory();
    void WriteDescription();
    void WriteIdentityText();

    // The map address that a wire address reaches: the camera's own span answers only at
    // `register_base` above its map addresses. Nothing for an address the move left empty.
    std::optional<uint32_t> MapAddress(uint32_t wire_address) const;
    gvcp::Status ReadWord(const Requester& from, uint32_t address, uint32_t* value);
    gvcp::Status WriteWord(const Requester& from, uint32_t address, uint32_t value);
    Block* FindBlock(uint32_t address, uint32_t size);
    bool ReadDenied(const Requester& from, uint32_t address) const;
    bool IsController(const Requester& from) const { return controller_ && *controller_ == from; }

    gvcp::Status WriteCcp(const Requester& from, uint32_t value);
    void ReleaseControl();
    void ChannelChanged(uint32_t channel);
    void StartStreams();
    void StopStreams();
    bool Triggered(uint32_t channel) const;
    void FireSoftwareTriggers(bool colour, uint32_t count);
    gvcp::Status WriteRoi(uint32_t sensor, uint32_t address, uint32_t value);
    uint32_t Value(uint32_t address) const;
    void Store(uint32_t address, uint32_t value);

    Settings& settings_;
    NetInterface& net_;
    StreamEngine& streams_;
    std::map<uint32_t, Register> registers_;
    std::vector<Block> blocks_;

    std::optional<Requester> controller_;
    uint32_t ccp_ = 0;
    Clock::time_point last_heartbeat_{};
    Clock::time_point now_{};  // time of the command being handled
    bool acquiring_ = false;
    bool firmware_pending_ = false;
    bool reboot_requested_ = false;
    Clock::time_point reboot_until_{};
    Clock::time_point ieee1588_enabled_at_{};
    // The camera clock. The engine's sender threads read it too, possibly after this object is gone,
    // so it is shared with them.
    struct CameraClock {
        std::atomic<int64_t> epoch_ns{0};
        std::atomic<uint64_t> tick_frequency{1000000000};
        uint64_t Ticks(Clock::time_point now) const;
    };
    std::shared_ptr<CameraClock> clock_ = std::make_shared<CameraClock>();
};

}  // namespace vcam
