#include "device.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "description.h"
#include "device_map.h"

namespace vcam {
namespace {

using gvcp::Status;

uint32_t ChannelRegister(uint32_t base, uint32_t channel) { return base + map::kChannelStride * channel; }
uint32_t SensorRegister(uint32_t base, uint32_t sensor) { return base + map::kSensorStride * sensor; }

void PutText(std::vector<uint8_t>& bytes, size_t offset, size_t width, const std::string& text) {
    std::fill(bytes.begin() + offset, bytes.begin() + offset + width, 0);
    std::memcpy(bytes.data() + offset, text.data(), std::min(text.size(), width));
}

void PutFloatsLittleEndian(std::vector<uint8_t>& bytes, size_t offset, const float* values, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t bits = std::bit_cast<uint32_t>(values[i]);
        for (size_t b = 0; b < 4; ++b) bytes[offset + 4 * i + b] = static_cast<uint8_t>(bits >> (8 * b));
    }
}

// Plain settings registers of the camera: address, power-on value, minimum, maximum.
struct PlainRegister {
    uint32_t address;
    uint32_t initial;
    uint32_t min;
    uint32_t max;
};
constexpr PlainRegister kPlainRegisters[] = {
    {map::kAcquisitionMode, 0, 0, 2},
    {map::kExposureType, 1, 1, 8},
    {map::kAnalogGain, 1, 1, 16},
    {map::kAnalogGainRgb, 1, 1, 16},
    {map::kDigitalGain, 1, 1, 32},
    {map::kDigitalGainRgb, 1, 1, 32},
    {map::kTriggerSource, 0, 0, 1},
    {map::kStrobeLedSwitch, 0, 0, 1},
    {map::kStrobeLedBrightness, 50, 1, 100},
    {map::kLaserBrightness, 50, 1, 100},
    {map::kTlParamsLocked, 0, 0, 1},
    {map::kCmosSelector, 0, 0, map::kSensorCount - 1},
    {map::kStreamChannelSelector, 0, 0, map::kChannelCount - 1},
};

// Per-sensor exposure registers, with the same meaning of the columns.
constexpr PlainRegister kSensorExposure[] = {
    {map::kExposureAuto, 0, 0, 1},
    {map::kExposureCompensationLevel, 1, 1, 16},
    {map::kExposureTime, 10000, 10, 1000000},
};

constexpr uint32_t kHeartbeatMin = 500, kHeartbeatMax = 60000;
constexpr uint32_t kFrameRateMin = 1, kFrameRateMax = 60;
constexpr uint32_t kMaxTriggersPerWrite = 100;

uint32_t DefaultPixelFormat(uint32_t channel) {
    constexpr uint32_t kFormats[map::kChannelCount] = {map::kCoord3dAbc16, map::kBayerRG8, map::kMono8};
    return kFormats[channel];
}

}  // namespace

Device::Device(Settings& settings, NetInterface& net, StreamEngine& streams)
    : settings_(settings), net_(net), streams_(streams) {
    clock_->tick_frequency = settings_.tick_frequency;
    streams_.SetClock([clock = clock_] { return clock->Ticks(Clock::now()); });
}

// ---- building the address space -----------------------------------------------------------------

void Device::AddRegister(uint32_t address, uint32_t value, Access access, WriteHook on_write,
                         ReadHook on_read) {
    registers_[address] = Register{value, access, std::move(on_write), std::move(on_read)};
}

void Device::PowerOn(Clock::time_point now) {
    StopStreams();
    registers_.clear();
    blocks_.clear();
    controller_.reset();
    ccp_ = 0;
    acquiring_ = false;
    firmware_pending_ = false;
    reboot_requested_ = false;
    now_ = now;
    clock_->epoch_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    BuildBootstrap();
    BuildDeviceRegisters();
    for (uint32_t sensor = 0; sensor < map::kSensorCount; ++sensor) BuildSensor(sensor);
    for (uint32_t channel = 0; channel < map::kChannelCount; ++channel) BuildChannel(channel);
    BuildMemory();
    for (uint32_t channel = 0; channel < map::kChannelCount; ++channel) ChannelChanged(channel);
}

void Device::BuildBootstrap() {
    using A = Access;
    auto mac_high = [this] {
        auto m = Mac();
        return static_cast<uint32_t>(m[0] << 8 | m[1]);
    };
    auto mac_low = [this] {
        auto m = Mac();
        return static_cast<uint32_t>(m[2]) << 24 | m[3] << 16 | m[4] << 8 | m[5];
    };
    AddRegister(map::kVersion, map::kVersionValue, A::kReadOnly);
    AddRegister(map::kDeviceMode, map::kDeviceModeValue, A::kReadOnly);
    AddRegister(map::kMacHigh, 0, A::kReadOnly, {}, mac_high);
    AddRegister(map::kMacLow, 0, A::kReadOnly, {}, mac_low);
    AddRegister(map::kIpConfigOptions, map::kIpConfigPersistent | map::kIpConfigDhcp | map::kIpConfigLla,
                A::kReadOnly);
    AddRegister(map::kIpConfigCurrent, 0, A::kReadWrite, {}, [this] { return IpConfigCurrent(); });
    AddRegister(map::kCurrentIp, 0, A::kReadOnly, {}, [this] { return Network().ip; });
    AddRegister(map::kCurrentMask, 0, A::kReadOnly, {}, [this] { return Network().mask; });
    AddRegister(map::kCurrentGateway, 0, A::kReadOnly, {}, [this] { return Network().gateway; });
    AddRegister(map::kNetworkInterfaceCount, 1, A::kReadOnly);
    AddRegister(map::kPersistentIp, 0, A::kReadWrite);
    AddRegister(map::kPersistentMask, 0, A::kReadWrite);
    AddRegister(map::kPersistentGateway, 0, A::kReadWrite);
    AddRegister(map::kMessageChannelCount, 0, A::kReadOnly);
    AddRegister(map::kStreamChannelCount, map::kChannelCount, A::kReadOnly);
    AddRegister(map::kGvcpCapability, map::kGvcpCapabilityValue, A::kReadOnly);
    AddRegister(map::kHeartbeatTimeout, settings_.heartbeat_ms, A::kReadWrite, [this](uint32_t value) {
        if (value < kHeartbeatMin || value > kHeartbeatMax) return gvcp::kInvalidParameter;
        Store(map::kHeartbeatTimeout, value);
        return gvcp::kSuccess;
    });
    AddRegister(map::kTickFrequencyHigh, 0, A::kReadOnly, {},
                [this] { return static_cast<uint32_t>(clock_->tick_frequency >> 32); });
    AddRegister(map::kTickFrequencyLow, 0, A::kReadOnly, {},
                [this] { return static_cast<uint32_t>(clock_->tick_frequency); });
    AddRegister(map::kTimestampControl, 0, A::kWriteOnly, [this](uint32_t value) {
        if (value & map::kTimestampReset) {
            clock_->epoch_ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now_.time_since_epoch()).count();
        }
        if (value & map::kTimestampLatch) {
            uint64_t ticks = Ticks(now_);
            Store(map::kTimestampLatchedHigh, static_cast<uint32_t>(ticks >> 32));
            Store(map::kTimestampLatchedLow, static_cast<uint32_t>(ticks));
        }
        return gvcp::kSuccess;
    });
    AddRegister(map::kTimestampLatchedHigh, 0, A::kReadOnly);
    AddRegister(map::kTimestampLatchedLow, 0, A::kReadOnly);
    AddRegister(map::kDiscoveryAckDelay, 0, A::kReadOnly);
    AddRegister(map::kGvcpConfiguration, 0, A::kReadWrite, [this](uint32_t value) {
        bool was_enabled = Value(map::kGvcpConfiguration) & map::kIeee1588Enable;
        if (!was_enabled && (value & map::kIeee1588Enable)) ieee1588_enabled_at_ = now_;
        Store(map::kGvcpConfiguration, value);
        return gvcp::kSuccess;
    });
    AddRegister(map::kPendingTimeout, 1000, A::kReadOnly);
    AddRegister(map::kCcp, 0, A::kReadWrite, {},
                [this] { return settings_.control_held ? map::kCcpControl : (controller_ ? ccp_ : 0u); });
    AddRegister(map::kMessageChannelPort, 0, A::kReadWrite);
    AddRegister(map::kMessageChannelAddress, 0, A::kReadWrite);
}

void Device::BuildDeviceRegisters() {
    using A = Access;
    AddRegister(map::kTotalNumberOfCmos, map::kSensorCount, A::kReadOnly);
    AddRegister(map::kDeviceCloudUnit, 0, A::kReadOnly, {}, [this] { return settings_.cloud_unit; });
    AddRegister(map::kAcquisitionStart, 0, A::kWriteOnly, [this](uint32_t) {
        acquiring_ = true;
        StartStreams();
        return gvcp::kSuccess;
    });
    AddRegister(map::kAcquisitionStop, 0, A::kWriteOnly, [this](uint32_t) {
        acquiring_ = false;
        StopStreams();
        return gvcp::kSuccess;
    });
    uint32_t rate = std::clamp(settings_.frame_rate, kFrameRateMin, kFrameRateMax);
    AddRegister(map::kAcquisitionFrameRate, rate, A::kReadWrite, [this](uint32_t value) {
        if (value < kFrameRateMin || value > kFrameRateMax) return gvcp::kInvalidParameter;
        Store(map::kAcquisitionFrameRate, value);
        if (acquiring_) StartStreams();
        return gvcp::kSuccess;
    });
    for (const PlainRegister& plain : kPlainRegisters) {
        AddRegister(plain.address, plain.initial, A::kReadWrite, [this, plain](uint32_t value) {
            if (value < plain.min || value > plain.max) return gvcp::kInvalidParameter;
            Store(plain.address, value);
            return gvcp::kSuccess;
        });
    }
    auto trigger_mode = [this](uint32_t address) {
        return [this, address](uint32_t value) {
            if (value > 1) return gvcp::kInvalidParameter;
            Store(address, value);
            if (acquiring_) StartStreams();
            return gvcp::kSuccess;
        };
    };
    AddRegister(map::kTriggerMode, 0, A::kReadWrite, trigger_mode(map::kTriggerMode));
    AddRegister(map::kRgbTriggerMode, 0, A::kReadWrite, trigger_mode(map::kRgbTriggerMode));
    auto software_trigger = [this](uint32_t address, bool colour) {
        return [this, address, colour](uint32_t value) {
            if (value < 1) return gvcp::kInvalidParameter;
            Store(address, value);
            FireSoftwareTriggers(colour, std::min(value, kMaxTriggersPerWrite));
            return gvcp::kSuccess;
        };
    };
    AddRegister(map::kTriggerSoftware, 0, A::kReadWrite, software_trigger(map::kTriggerSoftware, false));
    AddRegister(map::kRgbTriggerSoftware, 0, A::kReadWrite, software_trigger(map::kRgbTriggerSoftware, true));
    AddRegister(map::kIeee1588Status, 0, A::kReadOnly, {}, [this] {
        constexpr uint32_t kDisabled = 3, kListening = 4, kMaster = 6;
        if (!(Value(map::kGvcpConfiguration) & map::kIeee1588Enable)) return kDisabled;
        return now_ - ieee1588_enabled_at_ < std::chrono::seconds(1) ? kListening : kMaster;
    });
    AddRegister(map::kFirmwareUpdate, 0, A::kReadWrite, [this](uint32_t value) {
        if (value > 1) return gvcp::kInvalidParameter;
        firmware_pending_ = value == 1;
        Store(map::kFirmwareUpdate, value);
        return gvcp::kSuccess;
    });
    AddRegister(map::kDeviceReboot, 0, A::kWriteOnly, [this](uint32_t value) {
        if (value != map::kRebootKey) return gvcp::kInvalidParameter;
        reboot_requested_ = true;  // once the acknowledge is out, see Tick
        return gvcp::kSuccess;
    });
}

void Device::BuildSensor(uint32_t sensor) {
    using A = Access;
    AddRegister(SensorRegister(map::kMwop, sensor), map::kMaxWidth, A::kReadOnly);
    AddRegister(SensorRegister(map::kMhop, sensor), map::kMaxHeight, A::kReadOnly);
    const std::pair<uint32_t, uint32_t> roi[] = {{map::kWidth, map::kMaxWidth},
                                                 {map::kHeight, map::kMaxHeight},
                                                 {map::kOffsetX, 0},
                                                 {map::kOffsetY, 0}};
    for (auto [base, initial] : roi) {
        uint32_t address = SensorRegister(base, sensor);
        AddRegister(address, initial, A::kReadWrite,
                    [this, sensor, address](uint32_t value) { return WriteRoi(sensor, address, value); });
    }
    for (const PlainRegister& plain : kSensorExposure) {
        uint32_t address = SensorRegister(plain.address, sensor);
        AddRegister(address, plain.initial, A::kReadWrite, [this, plain, address](uint32_t value) {
            if (value < plain.min || value > plain.max) return gvcp::kInvalidParameter;
            Store(address, value);
            return gvcp::kSuccess;
        });
    }
}

void Device::BuildChannel(uint32_t channel) {
    using A = Access;
    auto stored_then_changed = [this, channel](uint32_t address) {
        return [this, channel, address](uint32_t value) {
            Store(address, value);
            ChannelChanged(channel);
            return gvcp::kSuccess;
        };
    };
    uint32_t scp = ChannelRegister(map::kScp, channel);
    uint32_t scps = ChannelRegister(map::kScps, channel);
    uint32_t scda = ChannelRegister(map::kScda, channel);
    AddRegister(scp, 0, A::kReadWrite, stored_then_changed(scp));
    AddRegister(scda, 0, A::kReadWrite, stored_then_changed(scda));
    AddRegister(ChannelRegister(map::kScpd, channel), 0, A::kReadWrite);
    AddRegister(scps, settings_.packet_size & map::kScpsSizeMask, A::kReadWrite,
                [this, channel, scps](uint32_t value) {
                    // The test packet bit fires once and is not kept.
                    Store(scps, value & ~map::kScpsFireTestPacket);
                    ChannelChanged(channel);
                    if ((value & map::kScpsFireTestPacket) && !settings_.ignore_test_packet)
                        streams_.SendTestPacket(channel, value & map::kScpsSizeMask);
                    return gvcp::kSuccess;
                });
    AddRegister(ChannelRegister(map::kScsp, channel), 0, A::kReadOnly, {}, [this, channel] {
        return settings_.no_scsp ? 0u : static_cast<uint32_t>(streams_.SourcePort(channel));
    });
    AddRegister(ChannelRegister(map::kScc, channel), map::kSccValue, A::kReadOnly);
    AddRegister(ChannelRegister(map::kSccfg, channel), 0, A::kReadWrite);
    // The camera's own per-channel registers; channel n is fed by sensor n.
    AddRegister(ChannelRegister(map::kCmosIndex, channel), channel, A::kReadOnly);
    uint32_t format = ChannelRegister(map::kPixelFormat, channel);
    AddRegister(format, DefaultPixelFormat(channel), A::kReadWrite, [this, channel, format](uint32_t value) {
        if (!StreamEngine::SupportsFormat(channel, value)) return gvcp::kInvalidParameter;
        Store(format, value);
        ChannelChanged(channel);
        return gvcp::kSuccess;
    });
    AddRegister(ChannelRegister(map::kPayloadSize, channel), 0, A::kReadOnly, {}, [this, channel] {
        return StreamEngine::PayloadSize(channel, Value(SensorRegister(map::kWidth, channel)),
                                         Value(SensorRegister(map::kHeight, channel)),
                                         Value(ChannelRegister(map::kPixelFormat, channel)));
    });
}

void Device::BuildMemory() {
    Block identity{map::kManufacturerName, std::vector<uint8_t>(map::kIdentityEnd - map::kManufacturerName),
                   map::kUserName, map::kIdentityEnd};
    blocks_.push_back(std::move(identity));
    WriteIdentityText();
    blocks_.push_back(Block{map::kFirstUrl, std::vector<uint8_t>(map::kUrlSize)});
    blocks_.push_back(Block{map::kSecondUrl, std::vector<uint8_t>(map::kUrlSize)});
    blocks_.push_back(Block{map::kDescriptionFile, {}});
    WriteDescription();
    for (uint32_t sensor = 0; sensor < map::kSensorCount; ++sensor) {
        CalibrationBlock calibration = StreamEngine::Calibration(sensor);
        Block internal{SensorRegister(map::kInternalParameter, sensor),
                       std::vector<uint8_t>(map::kInternalParameterLength)};
        PutFloatsLittleEndian(internal.bytes, 0, calibration.distortion, 5);
        PutFloatsLittleEndian(internal.bytes, 20, calibration.intrinsic, 9);
        Block external{SensorRegister(map::kExternalParameter, sensor),
                       std::vector<uint8_t>(map::kExternalParameterLength)};
        PutFloatsLittleEndian(external.bytes, 0, calibration.rotation, 9);
        PutFloatsLittleEndian(external.bytes, 36, calibration.translation, 3);
        blocks_.push_back(std::move(internal));
        blocks_.push_back(std::move(external));
    }
}

void Device::WriteIdentityText() {
    Block* identity = FindBlock(map::kManufacturerName, 4);
    auto& bytes = identity->bytes;
    auto at = [](uint32_t address) { return address - map::kManufacturerName; };
    PutText(bytes, at(map::kManufacturerName), 32, settings_.manufacturer);
    PutText(bytes, at(map::kModelName), 32, settings_.model);
    PutText(bytes, at(map::kDeviceVersion), 32, settings_.device_version);
    PutText(bytes, at(map::kManufacturerInfo), 48, settings_.manufacturer_info);
    PutText(bytes, at(map::kSerialNumber), 16, settings_.serial);
    PutText(bytes, at(map::kUserName), 16, settings_.user_name);
}

void Device::WriteDescription() {
    DescriptionFile file = ServedDescription(settings_, map::kDescriptionFile);
    Block* description = FindBlock(map::kDescriptionFile, 0);
    description->bytes = std::move(file.bytes);
    description->bytes.resize((description->bytes.size() + 3) / 4 * 4, 0);  // whole words
    for (uint32_t url : {map::kFirstUrl, map::kSecondUrl}) {
        Block* block = FindBlock(url, 4);
        PutText(block->bytes, 0, map::kUrlSize, file.url);
    }
}

void Device::RefreshFromSettings() {
    clock_->tick_frequency = settings_.tick_frequency;
    if (blocks_.empty()) return;
    WriteIdentityText();
    WriteDescription();
}

// ---- access -------------------------------------------------------------------------------------

Device::Block* Device::FindBlock(uint32_t address, uint32_t size) {
    for (Block& block : blocks_) {
        uint64_t end = static_cast<uint64_t>(block.base) + block.bytes.size();
        if (address >= block.base &&
            address + static_cast<uint64_t>(size) <= std::max<uint64_t>(end, block.base)) {
            if (size > 0 || address == block.base) return &block;
        }
    }
    return nullptr;
}

uint32_t Device::Value(uint32_t address) const {
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second.value;
}

void Device::Store(uint32_t address, uint32_t value) { registers_[address].value = value; }

bool Device::ReadDenied(const Requester& from, uint32_t address) const {
    bool exclusive = controller_ && (ccp_ & map::kCcpExclusive) && !IsController(from);
    bool first_url = address >= map::kFirstUrl && address < map::kFirstUrl + map::kUrlSize;
    return exclusive || (settings_.first_url_unreadable && first_url);
}

std::optional<uint32_t> Device::MapAddress(uint32_t wire_address) const {
    const uint32_t base = settings_.register_base;
    const auto in_own_span = [](uint32_t address) {
        return address >= map::kDeviceBase && address < map::kOwnSpanEnd;
    };
    if (base == 0) return wire_address;
    if (in_own_span(wire_address)) return std::nullopt;
    if (wire_address >= base && in_own_span(wire_address - base)) return wire_address - base;
    return wire_address;
}

Status Device::ReadWord(const Requester& from, uint32_t wire_address, uint32_t* value) {
    if (auto fault = settings_.register_errors.find(wire_address); fault != settings_.register_errors.end()) {
        return static_cast<Status>(fault->second);
    }
    if (wire_address % 4 != 0) return gvcp::kBadAlignment;
    const std::optional<uint32_t> mapped = MapAddress(wire_address);
    if (!mapped) return gvcp::kInvalidAddress;
    const uint32_t address = *mapped;
    if (ReadDenied(from, address)) return gvcp::kAccessDenied;
    if (auto it = registers_.find(address); it != registers_.end()) {
        if (it->second.access == Access::kWriteOnly) return gvcp::kAccessDenied;
        *value = it->second.on_read ? it->second.on_read() : it->second.value;
        return gvcp::kSuccess;
    }
    if (Block* block = FindBlock(address, 4)) {
        *value = gvcp::GetU32(block->bytes, address - block->base);
        return gvcp::kSuccess;
    }
    return gvcp::kInvalidAddress;
}

Status Device::WriteWord(const Requester& from, uint32_t wire_address, uint32_t value) {
    if (auto fault = settings_.register_errors.find(wire_address); fault != settings_.register_errors.end()) {
        return static_cast<Status>(fault->second);
    }
    if (wire_address % 4 != 0) return gvcp::kBadAlignment;
    const std::optional<uint32_t> mapped = MapAddress(wire_address);
    if (!mapped) return gvcp::kInvalidAddress;
    const uint32_t address = *mapped;
    if (address == map::kCcp) return WriteCcp(from, value);
    auto it = registers_.find(address);
    Block* block = it == registers_.end() ? FindBlock(address, 4) : nullptr;
    if (it == registers_.end() && block == nullptr) return gvcp::kInvalidAddress;
    if (!IsController(from)) return gvcp::kAccessDenied;
    if (block != nullptr) {
        if (address < block->writable_from || address + 4 > block->writable_to) return gvcp::kWriteProtect;
        std::vector<uint8_t> word(4);
        gvcp::PutU32(word, 0, value);
        std::copy(word.begin(), word.end(), block->bytes.begin() + (address - block->base));
        return gvcp::kSuccess;
    }
    Register& reg = it->second;
    if (reg.access == Access::kReadOnly) return gvcp::kWriteProtect;
    if (reg.on_write) return reg.on_write(value);
    reg.value = value;
    return gvcp::kSuccess;
}

Status Device::Read(const Requester& from, uint32_t address, uint32_t* value) {
    return ReadWord(from, address, value);
}

Status Device::Write(const Requester& from, uint32_t address, uint32_t value, Clock::time_point now) {
    now_ = now;
    return WriteWord(from, address, value);
}

Status Device::ReadMemory(const Requester& from, uint32_t address, uint32_t count,
                          std::vector<uint8_t>* data) {
    if (address % 4 != 0 || count % 4 != 0) return gvcp::kBadAlignment;
    data->assign(count, 0);
    for (uint32_t offset = 0; offset < count; offset += 4) {
        uint32_t word = 0;
        Status status = ReadWord(from, address + offset, &word);
        if (status != gvcp::kSuccess) return status;
        gvcp::PutU32(*data, offset, word);
    }
    return gvcp::kSuccess;
}

Status Device::WriteMemory(const Requester& from, uint32_t address, std::span<const uint8_t> data,
                           Clock::time_point now, size_t* written) {
    now_ = now;
    *written = 0;
    if (address % 4 != 0 || data.size() % 4 != 0) return gvcp::kBadAlignment;
    for (size_t offset = 0; offset < data.size(); offset += 4) {
        Status status = WriteWord(from, address + static_cast<uint32_t>(offset), gvcp::GetU32(data, offset));
        if (status != gvcp::kSuccess) return status;
        *written = offset + 4;
    }
    return gvcp::kSuccess;
}

// ---- control channel privilege and heartbeat -------------------------------------------------------

Status Device::WriteCcp(const Requester& from, uint32_t value) {
    if (settings_.control_held) return gvcp::kAccessDenied;
    if (controller_ && !IsController(from)) return gvcp::kAccessDenied;
    if ((value & (map::kCcpControl | map::kCcpExclusive)) == 0) {
        ReleaseControl();
        return gvcp::kSuccess;
    }
    controller_ = from;
    ccp_ = value & (map::kCcpControl | map::kCcpExclusive | map::kCcpSwitchover);
    last_heartbeat_ = now_;
    return gvcp::kSuccess;
}

void Device::ReleaseControl() {
    controller_.reset();
    ccp_ = 0;
    // Losing its controller closes every stream channel, as the controller's streams end with it.
    acquiring_ = false;
    StopStreams();
    for (uint32_t channel = 0; channel < map::kChannelCount; ++channel) {
        Store(ChannelRegister(map::kScp, channel), 0);
        Store(ChannelRegister(map::kScda, channel), 0);
        ChannelChanged(channel);
    }
}

void Device::NoteCommand(const Requester& from, Clock::time_point now) {
    now_ = now;
    if (IsController(from)) last_heartbeat_ = now;
}

void Device::Tick(Clock::time_point now) {
    now_ = now;
    if (reboot_requested_) {
        bool updated = firmware_pending_;
        std::fprintf(stderr, "virtual camera: rebooting%s for %u ms\n", updated ? " with new firmware" : "",
                     settings_.reboot_ms);
        if (updated && !settings_.firmware_version.empty())
            settings_.device_version = settings_.firmware_version;
        PowerOn(now);
        reboot_until_ = now + std::chrono::milliseconds(settings_.reboot_ms);
        return;
    }
    auto timeout = std::chrono::milliseconds(Value(map::kHeartbeatTimeout));
    if (controller_ && now - last_heartbeat_ > timeout) {
        std::fprintf(stderr, "virtual camera: heartbeat expired, control released\n");
        ReleaseControl();
    }
}

// ---- streams --------------------------------------------------------------------------------------

void Device::ChannelChanged(uint32_t channel) {
    ChannelSettings channel_settings;
    uint32_t scps = Value(ChannelRegister(map::kScps, channel));
    channel_settings.dest_ip = Value(ChannelRegister(map::kScda, channel));
    channel_settings.dest_port = static_cast<uint16_t>(Value(ChannelRegister(map::kScp, channel)));
    channel_settings.packet_size = scps & map::kScpsSizeMask;
    channel_settings.dont_fragment = scps & map::kScpsDontFragment;
    channel_settings.width = Value(SensorRegister(map::kWidth, channel));
    channel_settings.height = Value(SensorRegister(map::kHeight, channel));
    channel_settings.offset_x = Value(SensorRegister(map::kOffsetX, channel));
    channel_settings.offset_y = Value(SensorRegister(map::kOffsetY, channel));
    channel_settings.pixel_format = Value(ChannelRegister(map::kPixelFormat, channel));
    channel_settings.sensor = channel;
    streams_.Configure(channel, channel_settings);
}

bool Device::Triggered(uint32_t channel) const {
    return Value(channel == kSensorColour ? map::kRgbTriggerMode : map::kTriggerMode) == 1;
}

void Device::StartStreams() {
    double rate = Value(map::kAcquisitionFrameRate);
    for (uint32_t channel = 0; channel < map::kChannelCount; ++channel) {
        streams_.Start(channel, rate, Triggered(channel));
    }
}

void Device::StopStreams() {
    for (uint32_t channel = 0; channel < map::kChannelCount; ++channel) streams_.Stop(channel);
}

void Device::FireSoftwareTriggers(bool colour, uint32_t count) {
    if (!colour && Value(map::kTriggerSource) != 0) return;  // triggers come from the hardware line
    for (uint32_t channel = 0; channel < map::kChannelCount; ++channel) {
        if ((channel == kSensorColour) != colour || !Triggered(channel)) continue;
        for (uint32_t i = 0; i < count; ++i) streams_.SoftwareTrigger(channel);
    }
}

// A region write keeps the region inside the sensor: a wider region pulls its offset back, an offset
// that would push the region out is refused.
Status Device::WriteRoi(uint32_t sensor, uint32_t address, uint32_t value) {
    uint32_t base = address - map::kSensorStride * sensor;
    bool horizontal = base == map::kWidth || base == map::kOffsetX;
    uint32_t limit = Value(SensorRegister(horizontal ? map::kMwop : map::kMhop, sensor));
    uint32_t size_reg = SensorRegister(horizontal ? map::kWidth : map::kHeight, sensor);
    uint32_t offset_reg = SensorRegister(horizontal ? map::kOffsetX : map::kOffsetY, sensor);
    if (value % map::kRoiIncrement != 0) return gvcp::kInvalidParameter;
    if (address == size_reg) {
        if (value < map::kRoiIncrement || value > limit) return gvcp::kInvalidParameter;
        Store(offset_reg, std::min(Value(offset_reg), limit - value));
    } else if (value + Value(size_reg) > limit) {
        return gvcp::kInvalidParameter;
    }
    Store(address, value);
    ChannelChanged(sensor);
    return gvcp::kSuccess;
}

void Device::Resend(uint32_t channel, uint16_t block_id, uint32_t first_packet, uint32_t last_packet) {
    streams_.Resend(channel, block_id, first_packet, last_packet);
}

// ---- discovery facts ----------------------------------------------------------------------------

InterfaceState Device::Network() const { return net_.Read(); }

std::array<uint8_t, 6> Device::Mac() const {
    std::array<uint8_t, 6> mac{};
    if (!settings_.mac.empty() && ParseMac(settings_.mac, &mac)) return mac;
    return net_.Read().mac;
}

std::span<const uint8_t> Device::IdentityText() const {
    for (const Block& block : blocks_) {
        if (block.base == map::kManufacturerName) return block.bytes;
    }
    return {};
}

uint32_t Device::IpConfigCurrent() const {
    bool link_local = (Network().ip >> 16) == 0xA9FE;  // 169.254.0.0/16
    return link_local ? map::kIpConfigLla : map::kIpConfigPersistent;
}

uint64_t Device::Ticks(Clock::time_point now) const { return clock_->Ticks(now); }

uint64_t Device::CameraClock::Ticks(Clock::time_point now) const {
    int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() -
                 epoch_ns.load();
    if (ns < 0) ns = 0;
    return static_cast<uint64_t>(static_cast<unsigned __int128>(ns) * tick_frequency.load() / 1000000000u);
}

}  // namespace vcam
