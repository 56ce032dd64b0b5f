#pragma once
// Reads a GenICam description the way a generic client does: nodes by name at any depth, and the
// register behind a feature through its Address / pAddress / Value / pValue chain. Test helper.

#include <zip.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

class DescriptionWalk {
  public:
    bool Load(const std::string& xml) {
        nodes_.clear();
        if (!document_.load_buffer(xml.data(), xml.size())) return false;
        Index(document_.document_element());
        return true;
    }

    pugi::xml_node Node(const std::string& name) const {
        auto it = nodes_.find(name);
        return it == nodes_.end() ? pugi::xml_node() : it->second;
    }

    std::string Child(const std::string& name, const char* element) const {
        return Node(name).child(element).text().as_string();
    }

    // The register address behind a feature, following the chain to any depth.
    std::optional<uint32_t> Address(const std::string& name, int depth = 0) const {
        pugi::xml_node node = Node(name);
        if (!node || depth > 16) return std::nullopt;
        if (auto address = node.child("Address")) return Number(address.text().as_string());
        if (auto p_address = node.child("pAddress")) return Address(p_address.text().as_string(), depth + 1);
        if (auto p_value = node.child("pValue")) return Address(p_value.text().as_string(), depth + 1);
        return std::nullopt;
    }

    // Names reachable from the category Root through pFeature.
    std::vector<std::string> Features() const {
        std::vector<std::string> names;
        Collect("Root", names, 0);
        return names;
    }

    static uint32_t Number(const std::string& text) {
        return static_cast<uint32_t>(std::strtoull(text.c_str(), nullptr, 0));
    }

  private:
    void Index(pugi::xml_node node) {
        for (pugi::xml_node child : node.children()) {
            if (child.attribute("Name") && std::string(child.name()) != "EnumEntry" &&
                std::string(child.name()) != "pVariable") {
                nodes_[child.attribute("Name").as_string()] = child;
            }
            Index(child);
        }
    }

    void Collect(const std::string& category, std::vector<std::string>& names, int depth) const {
        if (depth > 8) return;
        for (pugi::xml_node feature : Node(category).children("pFeature")) {
            std::string name = feature.text().as_string();
            names.push_back(name);
            if (std::string(Node(name).name()) == "Category") Collect(name, names, depth + 1);
        }
    }

    pugi::xml_document document_;
    std::map<std::string, pugi::xml_node> nodes_;
};

// The one file inside a zip archive held in memory; nullopt when the archive is unreadable.
inline std::optional<std::string> UnzipOnlyFile(const std::vector<uint8_t>& archive_bytes) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(archive_bytes.data(), archive_bytes.size(), 0, &error);
    if (source == nullptr) return std::nullopt;
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (archive == nullptr) {
        zip_source_free(source);
        return std::nullopt;
    }
    std::optional<std::string> content;
    zip_stat_t stat;
    if (zip_get_num_entries(archive, 0) == 1 && zip_stat_index(archive, 0, 0, &stat) == 0) {
        zip_file_t* file = zip_fopen_index(archive, 0, 0);
        if (file != nullptr) {
            std::string text(stat.size, '\0');
            if (zip_fread(file, text.data(), stat.size) == static_cast<zip_int64_t>(stat.size))
                content = text;
            zip_fclose(file);
        }
    }
    zip_close(archive);
    return content;
}

// Every name the library and generic GigE Vision tools ask the description for.
inline const std::vector<std::string>& RequiredNames() {
    static const std::vector<std::string> names = {"TotalNumberOfCmos",
                                                   "InternelParameter",
                                                   "ExternelParameter",
                                                   "GevStreamChannelCount",
                                                   "DeviceCloudUnit",
                                                   "CmosIndex",
                                                   "Width",
                                                   "Height",
                                                   "OffsetX",
                                                   "OffsetY",
                                                   "MWOP",
                                                   "MHOP",
                                                   "PayloadSize",
                                                   "PixelFormat",
                                                   "GevSCSP",
                                                   "ExposureAuto",
                                                   "ExposureCompensationLevel",
                                                   "ExposureTime",
                                                   "ExposureType",
                                                   "AcquisitionStart",
                                                   "AcquisitionStop",
                                                   "analoggain",
                                                   "analoggain_rgb",
                                                   "digitalgain",
                                                   "digitalgain_rgb",
                                                   "TriggerMode",
                                                   "TriggerSource",
                                                   "TriggerSoftware",
                                                   "RGBTriggerMode",
                                                   "RGBTriggerSoftware",
                                                   "StrobeLEDswitch",
                                                   "StrobeLEDbrightress",
                                                   "Laserbrightness",
                                                   "GevIEEE1588",
                                                   "GevIEEE1588Status",
                                                   "GevTimestampControlLatch",
                                                   "GEV_BOOTSTRAP_TimestampValueLatchedHigh",
                                                   "GEV_BOOTSTRAP_TimestampValueLatchedLow",
                                                   "TimestampTickFrequencyHiReg",
                                                   "TimestampTickFrequencyLoReg",
                                                   "GevHeartbeatTimeout",
                                                   "FirmwareUpdate",
                                                   "DeviceReboot",
                                                   "AcquisitionFrameRate",
                                                   "GevSCPSPacketSize",
                                                   "DeviceVendorName",
                                                   "DeviceModelName",
                                                   "DeviceVersion",
                                                   "DeviceManufacturerInfo",
                                                   "DeviceSerialNumber",
                                                   "DeviceUserID"};
    return names;
}
