#include "description.h"

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "device_map.h"

namespace vcam {
namespace {

enum class Kind {
    kInteger,      // Integer feature over an IntReg
    kCommand,      // Command feature over an IntReg
    kEnumeration,  // Enumeration feature over an IntReg
    kBoolean,      // Boolean feature over a MaskedIntReg
    kMasked,       // Integer feature over a MaskedIntReg
    kString,       // StringReg feature
    kBlock,        // Register feature (a block of bytes)
    kRegister,     // IntReg only, not a feature
    kWide,         // 64-bit IntSwissKnife feature over two registers
};

enum class Scope { kGlobal, kSensor, kChannel };

struct Entry {
    const char* name;
    int64_t value;
};

constexpr Entry kPixelFormats[] = {{"Mono8", map::kMono8},
                                   {"BayerRG8", map::kBayerRG8},
                                   {"YUV422_8", map::kYuv422_8},
                                   {"RGB8", map::kRgb8},
                                   {"RGB565p", map::kRgb565p},
                                   {"Coord3D_ABC16", map::kCoord3dAbc16},
                                   {nullptr, 0}};
constexpr Entry kOffOn[] = {{"Off", 0}, {"On", 1}, {nullptr, 0}};
constexpr Entry kTriggerSources[] = {{"Software", 0}, {"Line0", 1}, {nullptr, 0}};
constexpr Entry kExposureAuto[] = {{"Off", 0}, {"Continuous", 1}, {nullptr, 0}};
constexpr Entry kAcquisitionModes[] = {
    {"Continuous", 0}, {"SingleFrame", 1}, {"MultiFrame", 2}, {nullptr, 0}};

constexpr int64_t kNone = -1;

struct Feature {
    const char* category;
    const char* name;
    Kind kind;
    uint32_t address;
    const char* access = "RW";
    Scope scope = Scope::kGlobal;
    int64_t min = kNone, max = kNone, inc = kNone;
    const char* p_max = nullptr;
    uint32_t length = 4;
    int64_t command_value = 1;
    const Entry* entries = nullptr;
    int lsb = 31, msb = 0;         // bits of a MaskedIntReg, big-endian numbering (0 = most significant)
    const char* reg = nullptr;     // register node name; default: the feature's name and "Reg"
    bool shares_register = false;  // the register node is emitted by another feature
    const char* high = nullptr;    // kWide: the registers of the upper and lower 32 bits
    const char* low = nullptr;
    const char* tooltip = "";
};

// clang-format off
const Feature kFeatures[] = {
    // Device identity and control.
    {.category = "DeviceControl", .name = "DeviceVendorName", .kind = Kind::kString, .address = map::kManufacturerName, .access = "RO", .length = 32, .tooltip = "Manufacturer of the camera."},
    {.category = "DeviceControl", .name = "DeviceModelName", .kind = Kind::kString, .address = map::kModelName, .access = "RO", .length = 32, .tooltip = "Model of the camera."},
    {.category = "DeviceControl", .name = "DeviceVersion", .kind = Kind::kString, .address = map::kDeviceVersion, .access = "RO", .length = 32, .tooltip = "Version of the camera."},
    {.category = "DeviceControl", .name = "DeviceManufacturerInfo", .kind = Kind::kString, .address = map::kManufacturerInfo, .access = "RO", .length = 48, .tooltip = "Manufacturer information."},
    {.category = "DeviceControl", .name = "DeviceID", .kind = Kind::kString, .address = map::kSerialNumber, .access = "RO", .length = 16, .tooltip = "Serial number."},
    {.category = "DeviceControl", .name = "DeviceSerialNumber", .kind = Kind::kString, .address = map::kSerialNumber, .access = "RO", .length = 16, .tooltip = "Serial number."},
    {.category = "DeviceControl", .name = "DeviceUserID", .kind = Kind::kString, .address = map::kUserName, .access = "RW", .length = 16, .tooltip = "User-defined name."},
    {.category = "DeviceControl", .name = "TotalNumberOfCmos", .kind = Kind::kInteger, .address = map::kTotalNumberOfCmos, .access = "RO", .tooltip = "Number of sensors."},
    {.category = "DeviceControl", .name = "DeviceCloudUnit", .kind = Kind::kInteger, .address = map::kDeviceCloudUnit, .access = "RO", .tooltip = "Raw point-cloud steps per millimetre."},
    {.category = "DeviceControl", .name = "CmosSelector", .kind = Kind::kInteger, .address = map::kCmosSelector, .min = 0, .max = map::kSensorCount - 1, .inc = 1, .tooltip = "Sensor that the per-sensor features address."},
    {.category = "DeviceControl", .name = "FirmwareUpdate", .kind = Kind::kInteger, .address = map::kFirmwareUpdate, .min = 0, .max = 1, .inc = 1, .tooltip = "1 installs the uploaded firmware at the next reboot."},
    {.category = "DeviceControl", .name = "DeviceReboot", .kind = Kind::kCommand, .address = map::kDeviceReboot, .access = "WO", .command_value = map::kRebootKey, .tooltip = "Reboots the camera."},
    // Region, format and sensors.
    {.category = "ImageFormatControl", .name = "MWOP", .kind = Kind::kInteger, .address = map::kMwop, .access = "RO", .scope = Scope::kSensor, .tooltip = "Maximum width of the sensor."},
    {.category = "ImageFormatControl", .name = "MHOP", .kind = Kind::kInteger, .address = map::kMhop, .access = "RO", .scope = Scope::kSensor, .tooltip = "Maximum height of the sensor."},
    {.category = "ImageFormatControl", .name = "WidthMax", .kind = Kind::kInteger, .address = map::kMwop, .access = "RO", .scope = Scope::kSensor, .reg = "MWOPReg", .shares_register = true, .tooltip = "Maximum width of the sensor."},
    {.category = "ImageFormatControl", .name = "HeightMax", .kind = Kind::kInteger, .address = map::kMhop, .access = "RO", .scope = Scope::kSensor, .reg = "MHOPReg", .shares_register = true, .tooltip = "Maximum height of the sensor."},
    {.category = "ImageFormatControl", .name = "Width", .kind = Kind::kInteger, .address = map::kWidth, .scope = Scope::kSensor, .min = map::kRoiIncrement, .inc = map::kRoiIncrement, .p_max = "MWOP", .tooltip = "Width of the region of interest."},
    {.category = "ImageFormatControl", .name = "Height", .kind = Kind::kInteger, .address = map::kHeight, .scope = Scope::kSensor, .min = map::kRoiIncrement, .inc = map::kRoiIncrement, .p_max = "MHOP", .tooltip = "Height of the region of interest."},
    {.category = "ImageFormatControl", .name = "OffsetX", .kind = Kind::kInteger, .address = map::kOffsetX, .scope = Scope::kSensor, .min = 0, .max = map::kMaxWidth - map::kRoiIncrement, .inc = map::kRoiIncrement, .tooltip = "Horizontal offset of the region of interest."},
    {.category = "ImageFormatControl", .name = "OffsetY", .kind = Kind::kInteger, .address = map::kOffsetY, .scope = Scope::kSensor, .min = 0, .max = map::kMaxHeight - map::kRoiIncrement, .inc = map::kRoiIncrement, .tooltip = "Vertical offset of the region of interest."},
    {.category = "ImageFormatControl", .name = "PixelFormat", .kind = Kind::kEnumeration, .address = map::kPixelFormat, .scope = Scope::kChannel, .entries = kPixelFormats, .tooltip = "Pixel format of the stream channel."},
    {.category = "ImageFormatControl", .name = "PayloadSize", .kind = Kind::kInteger, .address = map::kPayloadSize, .access = "RO", .scope = Scope::kChannel, .tooltip = "Bytes of one block of the stream channel."},
    {.category = "ImageFormatControl", .name = "CmosIndex", .kind = Kind::kInteger, .address = map::kCmosIndex, .access = "RO", .scope = Scope::kChannel, .tooltip = "Sensor that feeds the stream channel."},
    // Acquisition, triggers and exposure.
    {.category = "AcquisitionControl", .name = "AcquisitionMode", .kind = Kind::kEnumeration, .address = map::kAcquisitionMode, .entries = kAcquisitionModes, .tooltip = "Acquisition mode."},
    {.category = "AcquisitionControl", .name = "AcquisitionStart", .kind = Kind::kCommand, .address = map::kAcquisitionStart, .access = "WO", .tooltip = "Starts the acquisition."},
    {.category = "AcquisitionControl", .name = "AcquisitionStop", .kind = Kind::kCommand, .address = map::kAcquisitionStop, .access = "WO", .tooltip = "Stops the acquisition."},
    {.category = "AcquisitionControl", .name = "AcquisitionFrameRate", .kind = Kind::kInteger, .address = map::kAcquisitionFrameRate, .min = 1, .max = 60, .inc = 1, .tooltip = "Frames per second of a free-running acquisition."},
    {.category = "AcquisitionControl", .name = "TLParamsLocked", .kind = Kind::kInteger, .address = map::kTlParamsLocked, .min = 0, .max = 1, .inc = 1, .tooltip = "Transport parameters locked during acquisition."},
    {.category = "AcquisitionControl", .name = "TriggerMode", .kind = Kind::kEnumeration, .address = map::kTriggerMode, .entries = kOffOn, .tooltip = "Trigger mode of the depth and grey sensors."},
    {.category = "AcquisitionControl", .name = "TriggerSource", .kind = Kind::kEnumeration, .address = map::kTriggerSource, .entries = kTriggerSources, .tooltip = "Source of the trigger."},
    {.category = "AcquisitionControl", .name = "TriggerSoftware", .kind = Kind::kCommand, .address = map::kTriggerSoftware, .tooltip = "Software trigger; the value written is the number of frames."},
    {.category = "AcquisitionControl", .name = "RGBTriggerMode", .kind = Kind::kEnumeration, .address = map::kRgbTriggerMode, .entries = kOffOn, .tooltip = "Trigger mode of the colour sensor."},
    {.category = "AcquisitionControl", .name = "RGBTriggerSoftware", .kind = Kind::kCommand, .address = map::kRgbTriggerSoftware, .tooltip = "Software trigger of the colour sensor."},
    {.category = "AcquisitionControl", .name = "ExposureAuto", .kind = Kind::kEnumeration, .address = map::kExposureAuto, .scope = Scope::kSensor, .entries = kExposureAuto, .tooltip = "Automatic exposure of the sensor."},
    {.category = "AcquisitionControl", .name = "ExposureCompensationLevel", .kind = Kind::kInteger, .address = map::kExposureCompensationLevel, .scope = Scope::kSensor, .min = 1, .max = 16, .inc = 1, .tooltip = "Exposure level of the sensor."},
    {.category = "AcquisitionControl", .name = "ExposureTime", .kind = Kind::kInteger, .address = map::kExposureTime, .scope = Scope::kSensor, .min = 10, .max = 1000000, .inc = 1, .tooltip = "Exposure time of the sensor in microseconds."},
    {.category = "AcquisitionControl", .name = "ExposureType", .kind = Kind::kInteger, .address = map::kExposureType, .min = 1, .max = 8, .inc = 1, .tooltip = "Number of exposures merged into one depth frame."},
    // Gains.
    {.category = "AnalogControl", .name = "analoggain", .kind = Kind::kInteger, .address = map::kAnalogGain, .min = 1, .max = 16, .inc = 1, .tooltip = "Analog gain."},
    {.category = "AnalogControl", .name = "analoggain_rgb", .kind = Kind::kInteger, .address = map::kAnalogGainRgb, .min = 1, .max = 16, .inc = 1, .tooltip = "Analog gain of the colour sensor."},
    {.category = "AnalogControl", .name = "digitalgain", .kind = Kind::kInteger, .address = map::kDigitalGain, .min = 1, .max = 32, .inc = 1, .tooltip = "Digital gain."},
    {.category = "AnalogControl", .name = "digitalgain_rgb", .kind = Kind::kInteger, .address = map::kDigitalGainRgb, .min = 1, .max = 32, .inc = 1, .tooltip = "Digital gain of the colour sensor."},
    // Lights.
    {.category = "LightControl", .name = "StrobeLEDswitch", .kind = Kind::kInteger, .address = map::kStrobeLedSwitch, .min = 0, .max = 1, .inc = 1, .tooltip = "Strobe light on or off."},
    {.category = "LightControl", .name = "StrobeLEDbrightress", .kind = Kind::kInteger, .address = map::kStrobeLedBrightness, .min = 1, .max = 100, .inc = 1, .tooltip = "Strobe light brightness in percent."},
    {.category = "LightControl", .name = "Laserbrightness", .kind = Kind::kInteger, .address = map::kLaserBrightness, .min = 1, .max = 100, .inc = 1, .tooltip = "Laser brightness in percent."},
    // Calibration.
    {.category = "Calibration", .name = "InternelParameter", .kind = Kind::kBlock, .address = map::kInternalParameter, .access = "RO", .scope = Scope::kSensor, .length = map::kInternalParameterLength, .tooltip = "Distortion and camera matrix of the sensor, 14 little-endian floats."},
    {.category = "Calibration", .name = "ExternelParameter", .kind = Kind::kBlock, .address = map::kExternalParameter, .access = "RO", .scope = Scope::kSensor, .length = map::kExternalParameterLength, .tooltip = "Rotation and translation from the depth sensor, 12 little-endian floats."},
    // Transport layer.
    {.category = "TransportLayerControl", .name = "GevCurrentIPAddress", .kind = Kind::kInteger, .address = map::kCurrentIp, .access = "RO", .tooltip = "Current IP address."},
    {.category = "TransportLayerControl", .name = "GevCurrentSubnetMask", .kind = Kind::kInteger, .address = map::kCurrentMask, .access = "RO", .tooltip = "Current subnet mask."},
    {.category = "TransportLayerControl", .name = "GevCurrentDefaultGateway", .kind = Kind::kInteger, .address = map::kCurrentGateway, .access = "RO", .tooltip = "Current default gateway."},
    {.category = "TransportLayerControl", .name = "GevCCP", .kind = Kind::kInteger, .address = map::kCcp, .min = 0, .max = 7, .inc = 1, .tooltip = "Control channel privilege."},
    {.category = "TransportLayerControl", .name = "GevHeartbeatTimeout", .kind = Kind::kInteger, .address = map::kHeartbeatTimeout, .min = 500, .max = 60000, .inc = 1, .tooltip = "Heartbeat time-out in milliseconds."},
    {.category = "TransportLayerControl", .name = "GevStreamChannelCount", .kind = Kind::kInteger, .address = map::kStreamChannelCount, .access = "RO", .tooltip = "Number of stream channels."},
    {.category = "TransportLayerControl", .name = "GevStreamChannelSelector", .kind = Kind::kInteger, .address = map::kStreamChannelSelector, .min = 0, .max = map::kChannelCount - 1, .inc = 1, .tooltip = "Stream channel that the per-channel features address."},
    {.category = "TransportLayerControl", .name = "GevSCPHostPort", .kind = Kind::kInteger, .address = map::kScp, .scope = Scope::kChannel, .min = 0, .max = 65535, .inc = 1, .tooltip = "Destination port of the stream channel."},
    {.category = "TransportLayerControl", .name = "GevSCDA", .kind = Kind::kInteger, .address = map::kScda, .scope = Scope::kChannel, .tooltip = "Destination address of the stream channel."},
    {.category = "TransportLayerControl", .name = "GevSCSP", .kind = Kind::kInteger, .address = map::kScsp, .access = "RO", .scope = Scope::kChannel, .tooltip = "Source port of the stream channel."},
    {.category = "TransportLayerControl", .name = "GevSCPSPacketSize", .kind = Kind::kMasked, .address = map::kScps, .scope = Scope::kChannel, .min = 576, .max = 9000, .inc = 4, .lsb = 31, .msb = 16, .reg = "GevSCPSPacketSizeReg", .tooltip = "IP packet size of the stream channel."},
    {.category = "TransportLayerControl", .name = "GevSCPSDoNotFragment", .kind = Kind::kBoolean, .address = map::kScps, .scope = Scope::kChannel, .lsb = 1, .msb = 1, .tooltip = "Stream packets sent with don't-fragment."},
    {.category = "TransportLayerControl", .name = "GevSCPSFireTestPacket", .kind = Kind::kBoolean, .address = map::kScps, .scope = Scope::kChannel, .lsb = 0, .msb = 0, .tooltip = "Sends one test packet of the packet size."},
    {.category = "TransportLayerControl", .name = "GevSCPD", .kind = Kind::kInteger, .address = map::kScpd, .scope = Scope::kChannel, .min = 0, .max = 100000, .inc = 1, .tooltip = "Delay between stream packets in timestamp ticks."},
    {.category = "TransportLayerControl", .name = "GevTimestampTickFrequency", .kind = Kind::kWide, .address = 0, .access = "RO", .high = "TimestampTickFrequencyHiReg", .low = "TimestampTickFrequencyLoReg", .tooltip = "Timestamp ticks per second."},
    {.category = "TransportLayerControl", .name = "GevTimestampControlLatch", .kind = Kind::kCommand, .address = map::kTimestampControl, .access = "WO", .command_value = map::kTimestampLatch, .reg = "GevTimestampControlReg", .tooltip = "Latches the timestamp into GevTimestampValue."},
    {.category = "TransportLayerControl", .name = "GevTimestampControlReset", .kind = Kind::kCommand, .address = map::kTimestampControl, .access = "WO", .command_value = map::kTimestampReset, .reg = "GevTimestampControlReg", .shares_register = true, .tooltip = "Restarts the timestamp at 0."},
    {.category = "TransportLayerControl", .name = "GevTimestampValue", .kind = Kind::kWide, .address = 0, .access = "RO", .high = "GEV_BOOTSTRAP_TimestampValueLatchedHigh", .low = "GEV_BOOTSTRAP_TimestampValueLatchedLow", .tooltip = "Latched timestamp."},
    {.category = "TransportLayerControl", .name = "GevIEEE1588", .kind = Kind::kBoolean, .address = map::kGvcpConfiguration, .lsb = 12, .msb = 12, .tooltip = "IEEE 1588 clock synchronisation."},
    {.category = "TransportLayerControl", .name = "GevIEEE1588Status", .kind = Kind::kInteger, .address = map::kIeee1588Status, .access = "RO", .min = 0, .max = 8, .tooltip = "IEEE 1588 port state."},
    // Registers reached by name only.
    {.category = nullptr, .name = "TimestampTickFrequencyHiReg", .kind = Kind::kRegister, .address = map::kTickFrequencyHigh, .access = "RO"},
    {.category = nullptr, .name = "TimestampTickFrequencyLoReg", .kind = Kind::kRegister, .address = map::kTickFrequencyLow, .access = "RO"},
    {.category = nullptr, .name = "GEV_BOOTSTRAP_TimestampValueLatchedHigh", .kind = Kind::kRegister, .address = map::kTimestampLatchedHigh, .access = "RO"},
    {.category = nullptr, .name = "GEV_BOOTSTRAP_TimestampValueLatchedLow", .kind = Kind::kRegister, .address = map::kTimestampLatchedLow, .access = "RO"},
};
// clang-format on

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string RegisterName(const Feature& f) { return f.reg != nullptr ? f.reg : std::string(f.name) + "Reg"; }

class Writer {
  public:
    void Line(int depth, const std::string& text) { out_ << std::string(2 * depth, ' ') << text << "\n"; }
    void Element(int depth, const std::string& tag, const std::string& value) {
        Line(depth, "<" + tag + ">" + Escaped(value) + "</" + tag + ">");
    }
    std::string Text() const { return out_.str(); }

  private:
    std::ostringstream out_;
};

// Where a register answers: the camera's own span lies `register_base` above its map addresses.
uint32_t WireAddress(const Feature& f, uint32_t register_base) {
    const bool own = f.address >= map::kDeviceBase && f.address < map::kOwnSpanEnd;
    return own ? f.address + register_base : f.address;
}

// Address, index and port of a register node; a per-sensor or per-channel register repeats at a
// fixed stride, selected by the sensor or channel selector.
void WriteAddressing(Writer& w, int depth, const Feature& f, uint32_t length, uint32_t register_base) {
    w.Element(depth, "Address", Hex(WireAddress(f, register_base)));
    if (f.scope == Scope::kSensor) {
        w.Line(depth, "<pIndex Offset=\"" + Hex(map::kSensorStride) + "\">CmosSelector</pIndex>");
    } else if (f.scope == Scope::kChannel) {
        w.Line(depth,
               "<pIndex Offset=\"" + Hex(map::kChannelStride) + "\">GevStreamChannelSelector</pIndex>");
    }
    w.Element(depth, "Length", std::to_string(length));
    w.Element(depth, "AccessMode", f.access);
    w.Element(depth, "pPort", "Device");
}

void WriteRegisterNode(Writer& w, int depth, const Feature& f, uint32_t register_base) {
    bool masked = f.kind == Kind::kBoolean || f.kind == Kind::kMasked;
    const char* tag = masked ? "MaskedIntReg" : "IntReg";
    w.Line(depth, std::string("<") + tag + " Name=\"" +
                      (f.kind == Kind::kRegister ? f.name : RegisterName(f)) + "\">");
    WriteAddressing(w, depth + 1, f, 4, register_base);
    w.Element(depth + 1, "Cachable", "NoCache");
    if (masked && f.lsb == f.msb) {
        w.Element(depth + 1, "Bit", std::to_string(f.lsb));
    } else if (masked) {
        w.Element(depth + 1, "LSB", std::to_string(f.lsb));
        w.Element(depth + 1, "MSB", std::to_string(f.msb));
    }
    w.Element(depth + 1, "Sign", "Unsigned");
    w.Element(depth + 1, "Endianess", "BigEndian");
    w.Line(depth, std::string("</") + tag + ">");
}

void WriteBounds(Writer& w, int depth, const Feature& f) {
    if (f.min != kNone) w.Element(depth, "Min", std::to_string(f.min));
    if (f.p_max != nullptr) {
        w.Element(depth, "pMax", f.p_max);
    } else if (f.max != kNone) {
        w.Element(depth, "Max", std::to_string(f.max));
    }
    if (f.inc != kNone) w.Element(depth, "Inc", std::to_string(f.inc));
}

void WriteFeatureNode(Writer& w, int depth, const Feature& f, uint32_t register_base) {
    auto open = [&](const char* tag) {
        w.Line(depth, std::string("<") + tag + " Name=\"" + f.name + "\">");
        w.Element(depth + 1, "ToolTip", f.tooltip);
    };
    auto close = [&](const char* tag) { w.Line(depth, std::string("</") + tag + ">"); };
    switch (f.kind) {
        case Kind::kInteger:
        case Kind::kMasked:
            open("Integer");
            w.Element(depth + 1, "pValue", RegisterName(f));
            WriteBounds(w, depth + 1, f);
            close("Integer");
            break;
        case Kind::kCommand:
            open("Command");
            w.Element(depth + 1, "pValue", RegisterName(f));
            w.Element(depth + 1, "CommandValue", std::to_string(f.command_value));
            close("Command");
            break;
        case Kind::kEnumeration:
            open("Enumeration");
            for (const Entry* entry = f.entries; entry->name != nullptr; ++entry) {
                w.Line(depth + 1, std::string("<EnumEntry Name=\"") + entry->name + "\">");
                w.Element(depth + 2, "Value", std::to_string(entry->value));
                w.Line(depth + 1, "</EnumEntry>");
            }
            w.Element(depth + 1, "pValue", RegisterName(f));
            close("Enumeration");
            break;
        case Kind::kBoolean:
            open("Boolean");
            w.Element(depth + 1, "pValue", RegisterName(f));
            w.Element(depth + 1, "OnValue", "1");
            w.Element(depth + 1, "OffValue", "0");
            close("Boolean");
            break;
        case Kind::kString:
            open("StringReg");
            WriteAddressing(w, depth + 1, f, f.length, register_base);
            close("StringReg");
            break;
        case Kind::kBlock:
            open("Register");
            WriteAddressing(w, depth + 1, f, f.length, register_base);
            close("Register");
            break;
        case Kind::kWide:
            open("IntSwissKnife");
            w.Line(depth + 1, std::string("<pVariable Name=\"HIGH\">") + f.high + "</pVariable>");
            w.Line(depth + 1, std::string("<pVariable Name=\"LOW\">") + f.low + "</pVariable>");
            w.Element(depth + 1, "Formula", "(HIGH << 32) | LOW");
            close("IntSwissKnife");
            break;
        case Kind::kRegister:
            break;
    }
}

bool HasRegisterNode(const Feature& f) {
    switch (f.kind) {
        case Kind::kString:
        case Kind::kBlock:
        case Kind::kWide:
            return false;
        default:
            return !f.shares_register;
    }
}

std::vector<std::string> Categories() {
    std::vector<std::string> categories;
    for (const Feature& f : kFeatures) {
        if (f.category != nullptr &&
            std::find(categories.begin(), categories.end(), f.category) == categories.end()) {
            categories.push_back(f.category);
        }
    }
    return categories;
}

// Damages the file as a fault asks; the URL then carries the damaged file's length.
void ApplyFault(const std::string& fault, std::vector<uint8_t>& bytes) {
    if (fault == "truncated") {
        bytes.resize(bytes.size() / 2);
    } else if (fault == "corrupt-zip") {
        // The end of a zip holds its directory; without it no reader finds the file.
        size_t tail = std::min<size_t>(bytes.size(), 64);
        std::fill(bytes.end() - static_cast<std::ptrdiff_t>(tail), bytes.end(), 0xEE);
    }
}

}  // namespace

std::string DescriptionXml(const Settings& settings) {
    Writer w;
    w.Line(0, "<?xml version=\"1.0\" encoding=\"utf-8\"?>");
    w.Line(0,
           "<RegisterDescription ModelName=\"" + Escaped(settings.model) + "\" VendorName=\"" +
               Escaped(settings.manufacturer) +
               "\" ToolTip=\"Virtual 3D camera\" StandardNameSpace=\"GEV\" SchemaMajorVersion=\"1\" "
               "SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\" MajorVersion=\"1\" MinorVersion=\"0\" "
               "SubMinorVersion=\"0\" ProductGuid=\"6F1E52B4-3A0C-4C51-9D0E-7A1F0B3C5D21\" "
               "VersionGuid=\"0C9B7A5E-2D4F-4E61-8B3A-1F2E3D4C5B6A\" "
               "xmlns=\"http://www.genicam.org/GenApi/Version_1_1\" "
               "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
               "xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
               "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">");
    std::vector<std::string> categories = Categories();
    w.Line(1, "<Category Name=\"Root\" NameSpace=\"Standard\">");
    for (const std::string& category : categories) w.Element(2, "pFeature", category);
    w.Line(1, "</Category>");
    for (const std::string& category : categories) {
        w.Line(1, "<Category Name=\"" + category + "\" NameSpace=\"Standard\">");
        for (const Feature& f : kFeatures) {
            if (f.category != nullptr && category == f.category) w.Element(2, "pFeature", f.name);
        }
        w.Line(1, "</Category>");
        for (const Feature& f : kFeatures) {
            if (f.category != nullptr && category == f.category)
                WriteFeatureNode(w, 1, f, settings.register_base);
        }
        w.Line(1, "<Group Comment=\"" + category + " registers\">");
        for (const Feature& f : kFeatures) {
            if (f.category != nullptr && category == f.category && HasRegisterNode(f))
                WriteRegisterNode(w, 2, f, settings.register_base);
        }
        w.Line(1, "</Group>");
    }
    w.Line(1, "<Group Comment=\"Bootstrap registers\">");
    for (const Feature& f : kFeatures) {
        if (f.kind == Kind::kRegister) WriteRegisterNode(w, 2, f, settings.register_base);
    }
    w.Line(1, "</Group>");
    w.Line(1, "<Port Name=\"Device\" NameSpace=\"Standard\">");
    w.Element(2, "ToolTip", "Port of the camera's GVCP register access.");
    w.Line(1, "</Port>");
    w.Line(0, "</RegisterDescription>");
    std::string xml = w.Text();
    if (settings.description_fault == "malformed") {
        // An element left open, as a cut or garbled file would leave it.
        xml.insert(xml.rfind("</RegisterDescription>"),
                   "  <Category Name=\"Unclosed\">\n    <pFeature>Width\n");
    }
    return xml;
}

std::vector<uint8_t> ZipOneFile(const std::string& file_name, const std::string& content) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* archive_source = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (archive_source == nullptr) return {};
    zip_t* archive = zip_open_from_source(archive_source, ZIP_TRUNCATE, &error);
    if (archive == nullptr) {
        zip_source_free(archive_source);
        return {};
    }
    zip_source_keep(archive_source);  // outlives the archive: the bytes are read from it afterwards
    zip_source_t* file = zip_source_buffer(archive, content.data(), content.size(), 0);
    bool added = file != nullptr && zip_file_add(archive, file_name.c_str(), file, ZIP_FL_ENC_UTF_8) >= 0;
    if (!added) {
        if (file != nullptr) zip_source_free(file);
        zip_discard(archive);
        zip_source_free(archive_source);
        return {};
    }
    std::vector<uint8_t> bytes;
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        zip_source_free(archive_source);
        return {};
    }
    if (zip_source_open(archive_source) == 0) {
        zip_source_seek(archive_source, 0, SEEK_END);
        zip_int64_t size = zip_source_tell(archive_source);
        zip_source_seek(archive_source, 0, SEEK_SET);
        if (size > 0) {
            bytes.resize(static_cast<size_t>(size));
            if (zip_source_read(archive_source, bytes.data(), static_cast<zip_uint64_t>(size)) != size)
                bytes.clear();
        }
        zip_source_close(archive_source);
    }
    zip_source_free(archive_source);
    return bytes;
}

DescriptionFile ServedDescription(const Settings& settings, uint32_t address) {
    std::string xml = DescriptionXml(settings);
    bool zipped = settings.description_format == "zip";
    DescriptionFile file;
    if (zipped) {
        file.bytes = ZipOneFile(settings.description_name + ".xml", xml);
    } else {
        file.bytes.assign(xml.begin(), xml.end());
    }
    ApplyFault(settings.description_fault, file.bytes);
    char url[160];
    std::snprintf(url, sizeof url, "Local:%s.%s;%x;%zx", settings.description_name.c_str(),
                  zipped ? "zip" : "xml", address, file.bytes.size());
    file.url = url;
    return file;
}

}  // namespace vcam
