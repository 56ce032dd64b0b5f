#pragma once
// Where everything lives in the camera's address space: the GigE Vision bootstrap registers, the
// camera's own registers and memory blocks. The description file names the same addresses; this is
// the one place that fixes them.

#include <cstdint>

namespace vcam::map {

// ---- bootstrap registers (GigE Vision) --------------------------------------------------------
inline constexpr uint32_t kVersion = 0x0000;
inline constexpr uint32_t kDeviceMode = 0x0004;
inline constexpr uint32_t kMacHigh = 0x0008;
inline constexpr uint32_t kMacLow = 0x000C;
inline constexpr uint32_t kIpConfigOptions = 0x0010;
inline constexpr uint32_t kIpConfigCurrent = 0x0014;
inline constexpr uint32_t kCurrentIp = 0x0024;
inline constexpr uint32_t kCurrentMask = 0x0034;
inline constexpr uint32_t kCurrentGateway = 0x0044;
inline constexpr uint32_t kManufacturerName = 0x0048;  // 32 bytes
inline constexpr uint32_t kModelName = 0x0068;         // 32 bytes
inline constexpr uint32_t kDeviceVersion = 0x0088;     // 32 bytes
inline constexpr uint32_t kManufacturerInfo = 0x00A8;  // 48 bytes
inline constexpr uint32_t kSerialNumber = 0x00D8;      // 16 bytes
inline constexpr uint32_t kUserName = 0x00E8;          // 16 bytes
inline constexpr uint32_t kIdentityEnd = 0x00F8;
inline constexpr uint32_t kFirstUrl = 0x0200;  // 512 bytes
inline constexpr uint32_t kSecondUrl = 0x0400;
inline constexpr uint32_t kUrlSize = 512;
inline constexpr uint32_t kNetworkInterfaceCount = 0x0600;
inline constexpr uint32_t kPersistentIp = 0x064C;
inline constexpr uint32_t kPersistentMask = 0x065C;
inline constexpr uint32_t kPersistentGateway = 0x066C;
inline constexpr uint32_t kMessageChannelCount = 0x0900;
inline constexpr uint32_t kStreamChannelCount = 0x0904;
inline constexpr uint32_t kGvcpCapability = 0x0934;
inline constexpr uint32_t kHeartbeatTimeout = 0x0938;
inline constexpr uint32_t kTickFrequencyHigh = 0x093C;
inline constexpr uint32_t kTickFrequencyLow = 0x0940;
inline constexpr uint32_t kTimestampControl = 0x0944;
inline constexpr uint32_t kTimestampLatchedHigh = 0x0948;
inline constexpr uint32_t kTimestampLatchedLow = 0x094C;
inline constexpr uint32_t kDiscoveryAckDelay = 0x0950;
inline constexpr uint32_t kGvcpConfiguration = 0x0954;
inline constexpr uint32_t kPendingTimeout = 0x0958;
inline constexpr uint32_t kCcp = 0x0A00;
inline constexpr uint32_t kMessageChannelPort = 0x0B00;
inline constexpr uint32_t kMessageChannelAddress = 0x0B10;

// Stream channel n: base + kChannelStride × n.
inline constexpr uint32_t kChannelStride = 0x40;
inline constexpr uint32_t kScp = 0x0D00;    // host port; 0 closes the channel
inline constexpr uint32_t kScps = 0x0D04;   // packet size and flags
inline constexpr uint32_t kScpd = 0x0D08;   // packet delay
inline constexpr uint32_t kScda = 0x0D18;   // destination address
inline constexpr uint32_t kScsp = 0x0D1C;   // source port (read-only)
inline constexpr uint32_t kScc = 0x0D20;    // capability
inline constexpr uint32_t kSccfg = 0x0D24;  // configuration

// Values of bootstrap fields.
inline constexpr uint32_t kVersionValue = 0x00020000;     // GigE Vision 2.0
inline constexpr uint32_t kDeviceModeValue = 0x80000001;  // big-endian, transmitter, UTF-8
inline constexpr uint32_t kIpConfigPersistent = 0x1, kIpConfigDhcp = 0x2, kIpConfigLla = 0x4;
// User name, serial number, PACKETRESEND, WRITEMEM, several registers per command.
inline constexpr uint32_t kGvcpCapabilityValue = 0xC0000007;
inline constexpr uint32_t kCcpExclusive = 0x1, kCcpControl = 0x2, kCcpSwitchover = 0x4;
inline constexpr uint32_t kTimestampReset = 0x1, kTimestampLatch = 0x2;
inline constexpr uint32_t kIeee1588Enable = 0x80000;  // GVCP configuration: PTP enable
inline constexpr uint32_t kScpsFireTestPacket = 0x80000000, kScpsDontFragment = 0x40000000;
inline constexpr uint32_t kScpsSizeMask = 0xFFFF;
inline constexpr uint32_t kSccValue = 0x80000000;  // big-endian pixels supported
inline constexpr uint32_t kRebootKey = 0x111F;

// ---- the camera's own registers -----------------------------------------------------------------
inline constexpr uint32_t kDeviceBase = 0x10000;
inline constexpr uint32_t kTotalNumberOfCmos = 0x10000;
inline constexpr uint32_t kDeviceCloudUnit = 0x10004;
inline constexpr uint32_t kAcquisitionStart = 0x10008;
inline constexpr uint32_t kAcquisitionStop = 0x1000C;
inline constexpr uint32_t kAcquisitionFrameRate = 0x10010;
inline constexpr uint32_t kAcquisitionMode = 0x10014;
inline constexpr uint32_t kExposureType = 0x10018;
inline constexpr uint32_t kAnalogGain = 0x1001C;
inline constexpr uint32_t kAnalogGainRgb = 0x10020;
inline constexpr uint32_t kDigitalGain = 0x10024;
inline constexpr uint32_t kDigitalGainRgb = 0x10028;
inline constexpr uint32_t kTriggerMode = 0x1002C;
inline constexpr uint32_t kTriggerSource = 0x10030;
inline constexpr uint32_t kTriggerSoftware = 0x10034;
inline constexpr uint32_t kRgbTriggerMode = 0x10038;
inline constexpr uint32_t kRgbTriggerSoftware = 0x1003C;
inline constexpr uint32_t kStrobeLedSwitch = 0x10040;
inline constexpr uint32_t kStrobeLedBrightness = 0x10044;
inline constexpr uint32_t kLaserBrightness = 0x10048;
inline constexpr uint32_t kIeee1588Status = 0x1004C;
inline constexpr uint32_t kFirmwareUpdate = 0x10050;
inline constexpr uint32_t kDeviceReboot = 0x10054;
inline constexpr uint32_t kTlParamsLocked = 0x10058;
inline constexpr uint32_t kCmosSelector = 0x1005C;
inline constexpr uint32_t kStreamChannelSelector = 0x10060;

// Per sensor s: base + kSensorStride × s.
inline constexpr uint32_t kSensorStride = 0x100;
inline constexpr uint32_t kSensorBase = 0x11000;
inline constexpr uint32_t kMwop = 0x11000;
inline constexpr uint32_t kMhop = 0x11004;
inline constexpr uint32_t kWidth = 0x11008;
inline constexpr uint32_t kHeight = 0x1100C;
inline constexpr uint32_t kOffsetX = 0x11010;
inline constexpr uint32_t kOffsetY = 0x11014;
inline constexpr uint32_t kExposureAuto = 0x11018;
inline constexpr uint32_t kExposureCompensationLevel = 0x1101C;
inline constexpr uint32_t kExposureTime = 0x11020;

// Per stream channel c: base + kChannelStride × c.
inline constexpr uint32_t kCmosIndex = 0x12000;
inline constexpr uint32_t kPayloadSize = 0x12004;
inline constexpr uint32_t kPixelFormat = 0x12008;

// ---- memory blocks ------------------------------------------------------------------------------
inline constexpr uint32_t kInternalParameter = 0x20000;  // 56 bytes per sensor, + kSensorStride × s
inline constexpr uint32_t kExternalParameter = 0x20800;  // 48 bytes per sensor
inline constexpr uint32_t kInternalParameterLength = 56;
inline constexpr uint32_t kExternalParameterLength = 48;
inline constexpr uint32_t kDescriptionFile = 0x100000;  // the description file, up to 1 MiB
inline constexpr uint32_t kDescriptionFileMax = 0x100000;

// ---- the camera's own span ----------------------------------------------------------------------
// Its own registers and memory blocks, [kDeviceBase, kOwnSpanEnd), answer at `--register-base` above
// the addresses above; the bootstrap registers and the description file stay where they are.
inline constexpr uint32_t kOwnSpanEnd = kDescriptionFile;
// A base keeps the strides aligned and moves the span clear of everything that stays, without
// passing the top of the address space.
inline constexpr uint32_t kRegisterBaseAlignment = 0x100;
inline constexpr uint32_t kLowestRegisterBase = kDescriptionFile + kDescriptionFileMax - kDeviceBase;
inline constexpr uint32_t kHighestRegisterBase = 0xFFFFFFFFu - kOwnSpanEnd + 1;

// ---- device constants ---------------------------------------------------------------------------
inline constexpr uint32_t kSensorCount = 3;
inline constexpr uint32_t kChannelCount = 3;
inline constexpr uint32_t kMaxWidth = 1280;
inline constexpr uint32_t kMaxHeight = 1024;
inline constexpr uint32_t kRoiIncrement = 8;

// GenICam pixel-format values the channels offer.
inline constexpr uint32_t kMono8 = 0x01080001;
inline constexpr uint32_t kBayerRG8 = 0x01080009;
inline constexpr uint32_t kYuv422_8 = 0x02100032;
inline constexpr uint32_t kRgb565p = 0x02100035;
inline constexpr uint32_t kRgb8 = 0x02180014;
inline constexpr uint32_t kCoord3dAbc16 = 0x023000B9;

}  // namespace vcam::map
