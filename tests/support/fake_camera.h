#pragma once
// A scripted GVCP peer dressed as a small camera: a description in memory behind the First URL,
// bootstrap registers, three sensors' calibration blocks and the clock registers. Tests change
// any of it before connecting.

#include <zip.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "TaviSDK/Types.h"
#include "support/scripted_gvcp_peer.h"

namespace tavi::test {

inline constexpr uint32_t kDescriptionAddress = 0x00100000;
inline constexpr uint32_t kInternalAddress = 0x00020000;
inline constexpr uint32_t kExternalAddress = 0x00030000;
inline constexpr uint32_t kCmosCountRegister = 0x00010000;
inline constexpr uint32_t kWidthRegister = 0x00010100;
inline constexpr uint32_t kWidthMaxRegister = 0x00010104;
inline constexpr uint32_t kUserIdAddress = 0x000000E8;
inline constexpr uint32_t kLongTextAddress = 0x00040000;

// A description written as real cameras write theirs: categories from Root, features that reach
// their register through pValue, hex addresses, nodes inside groups, a bound given through pMax.
inline const char* kFakeDescription = R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="Fake" VendorName="Tavi" StandardNameSpace="GEV" SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0" ToolTip="" ProductGuid="0" VersionGuid="0" xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Category Name="Root" NameSpace="Standard">
    <pFeature>DeviceControl</pFeature>
    <pFeature>TransportLayerControl</pFeature>
  </Category>
  <Category Name="DeviceControl" NameSpace="Standard">
    <pFeature>TotalNumberOfCmos</pFeature>
    <pFeature>Width</pFeature>
    <pFeature>DeviceUserID</pFeature>
    <pFeature>PixelFormat</pFeature>
  </Category>
  <Category Name="TransportLayerControl" NameSpace="Standard">
    <pFeature>GevHeartbeatTimeout</pFeature>
  </Category>
  <Group Comment="Sensors">
    <Integer Name="TotalNumberOfCmos">
      <pValue>TotalNumberOfCmosReg</pValue>
    </Integer>
    <IntReg Name="TotalNumberOfCmosReg">
      <Address>0x10000</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Group Comment="Calibration">
      <Register Name="InternelParameter">
        <Address>0x20000</Address>
        <Length>56</Length>
        <pPort>Device</pPort>
      </Register>
      <Register Name="ExternelParameter">
        <Address>0x30000</Address>
        <Length>48</Length>
        <pPort>Device</pPort>
      </Register>
    </Group>
  </Group>
  <Integer Name="Width">
    <pValue>WidthReg</pValue>
    <Min>16</Min>
    <pMax>WidthMaxReg</pMax>
    <Inc>0x10</Inc>
  </Integer>
  <IntReg Name="WidthReg"><Address>0x10100</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <IntReg Name="WidthMaxReg"><Address>0x10104</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <Integer Name="GevHeartbeatTimeout" NameSpace="Standard">
    <pValue>GevHeartbeatTimeoutReg</pValue>
    <Min>500</Min>
    <Max>0xEA60</Max>
  </Integer>
  <IntReg Name="GevHeartbeatTimeoutReg"><Address>0x0938</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <IntReg Name="GEV_BOOTSTRAP_TimestampValueLatchedHigh"><Address>0x0948</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <IntReg Name="GEV_BOOTSTRAP_TimestampValueLatchedLow"><Address>0x094C</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <IntReg Name="TimestampTickFrequencyHiReg"><Address>0x093C</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <IntReg Name="TimestampTickFrequencyLoReg"><Address>0x0940</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <StringReg Name="DeviceUserID"><Address>0xE8</Address><Length>16</Length><pPort>Device</pPort></StringReg>
  <StringReg Name="LongText"><Address>0x40000</Address><Length>600</Length><pPort>Device</pPort></StringReg>
  <Enumeration Name="PixelFormat">
    <EnumEntry Name="Mono8"><Value>0x01080001</Value></EnumEntry>
    <EnumEntry Name="Coord3D_ABC16"><Value>0x023000B9</Value></EnumEntry>
    <pValue>PixelFormatReg</pValue>
  </Enumeration>
  <IntReg Name="PixelFormatReg"><Address>0x10108</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <StructReg Comment="Laser">
    <Address>0x1010C</Address>
    <Length>4</Length>
    <pPort>Device</pPort>
    <StructEntry Name="LaserOn"><Bit>0</Bit></StructEntry>
    <StructEntry Name="LaserBright"><LSB>8</LSB><MSB>15</MSB></StructEntry>
  </StructReg>
  <IntReg Name="Banked"><pAddress>BankBase</pAddress><pAddress>BankOffset</pAddress><Length>4</Length></IntReg>
  <Integer Name="BankBase"><Value>0x5000</Value></Integer>
  <Integer Name="BankOffset"><Value>4</Value></Integer>
  <Integer Name="SelfLoop"><pValue>SelfLoop</pValue></Integer>
  <Integer Name="BrokenMax"><pValue>WidthReg</pValue><pMax>DeniedReg</pMax></Integer>
  <IntReg Name="DeniedReg"><Address>0x10110</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <Integer Name="NoLimits"><pValue>WidthReg</pValue></Integer>
  <Port Name="Device"/>
</RegisterDescription>
)";

inline Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A zip archive holding `files` (name, content), built through a temporary file.
inline Bytes MakeZip(const std::vector<std::pair<std::string, std::string>>& files) {
    char path[] = "/tmp/tavi_zip_XXXXXX";
    const int descriptor = mkstemp(path);
    close(descriptor);
    int error = 0;
    zip_t* archive = zip_open(path, ZIP_CREATE | ZIP_TRUNCATE, &error);
    for (const auto& [name, content] : files) {
        zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
        zip_file_add(archive, name.c_str(), source, ZIP_FL_OVERWRITE);
    }
    zip_close(archive);
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path);
    return bytes;
}

inline Bytes FloatBytes(const std::vector<float>& values) {
    Bytes bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

// Calibration of sensor `cmos`: 14 internal and 12 external floats, all different.
inline std::vector<float> InternalFloats(int cmos) {
    std::vector<float> values;
    for (int i = 0; i < 14; ++i) values.push_back(static_cast<float>(cmos * 100 + i) + 0.25f);
    return values;
}
inline std::vector<float> ExternalFloats(int cmos) {
    std::vector<float> values;
    for (int i = 0; i < 12; ++i) values.push_back(-static_cast<float>(cmos * 100 + i) - 0.5f);
    return values;
}

class FakeCamera {
  public:
    ScriptedGvcpPeer peer;

    FakeCamera() {
        SetDescription("Local:fake.xml", TextBytes(kFakeDescription));
        peer.SetRegister(0x0A00, 0);     // CCP: free
        peer.SetRegister(0x0938, 3000);  // heartbeat time-out
        peer.SetRegister(0x0904, 3);     // stream channels
        peer.SetRegister(0x0900, 1);     // message channels
        peer.SetRegister(kCmosCountRegister, 3);
        peer.SetRegister(kWidthMaxRegister, 1280);
        for (int cmos = 0; cmos < 3; ++cmos) {
            peer.SetMemory(kInternalAddress + 0x100 * cmos, FloatBytes(InternalFloats(cmos)));
            peer.SetMemory(kExternalAddress + 0x100 * cmos, FloatBytes(ExternalFloats(cmos)));
        }
    }

    // Serves `file` at the description address behind the First URL "<prefix>;<address>;<length>".
    void SetDescription(const std::string& url_prefix, const Bytes& file, uint32_t url_register = 0x0200) {
        description = file;
        peer.SetMemory(kDescriptionAddress, file);
        char url[512] = {};
        std::snprintf(url, sizeof url, "%s;%x;%zx", url_prefix.c_str(), kDescriptionAddress, file.size());
        peer.SetMemory(url_register, Bytes(url, url + sizeof url));
    }

    DiscoveryInfo Info(int mtu = 1500, const char* serial = "FAKE0001") const {
        DiscoveryInfo info{};
        info.camera_ip = peer.address();
        info.pc_ip = kPcAddress;
        info.mtu = mtu;
        std::memcpy(info.serial_number, serial, strnlen(serial, sizeof info.serial_number));
        std::memcpy(info.adapter_name, "lo", 2);
        return info;
    }

    // Every value written to one register, in order.
    std::vector<uint32_t> WritesTo(uint32_t address) {
        std::vector<uint32_t> values;
        for (const ScriptedGvcpPeer::Write& write : peer.Writes()) {
            if (write.address == address) values.push_back(write.value);
        }
        return values;
    }

    Bytes description;
};

}  // namespace tavi::test
