// The device description: fetched from camera memory at connection, parsed into the node map, and
// asked for register addresses, limits and feature names.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "camera/description_url.h"
#include "camera/feature_access.h"
#include "camera/node_map.h"
#include "common/no_throw.h"
#include "net/gvcp_protocol.h"

namespace {

// Memory-read codes as callers report them: the low 16 bits, sign-extended, so device statuses and
// the transport's -55 both come out negative.
int MemoryCode(int code) { return static_cast<int16_t>(static_cast<uint16_t>(code)); }

// Longest string register read: real ones hold names, versions and identifiers of some dozens of
// bytes, and a Length from the description is not trusted beyond this.
constexpr int kMaxStringRegisterLength = 4096;

struct LimitQuery {
    const char* function;
    const char* property;
    int error_code;
    const char* error_text;
};

constexpr LimitQuery kMinQuery{"GetNodeMinValue", "Min", TAVI_ERR_MIN_READ, "min"};
constexpr LimitQuery kMaxQuery{"GetNodeMaxValue", "Max", TAVI_ERR_MAX_READ, "max"};
constexpr LimitQuery kIncQuery{"GetNodeIncValue", "Inc", TAVI_ERR_INCREMENT_READ, "inc"};

}  // namespace

int GigeCamera::ReadUrlRegister(unsigned int address, char* url) {
    char buffer[tavi::gvcp::kMemBufferSize] = {};
    const int status = ReadMem(address, tavi::gvcp::kUrlSize, buffer);
    if (status == 0) std::memcpy(url, buffer + tavi::gvcp::kMemAckData, tavi::gvcp::kUrlSize);
    return status;
}

int GigeCamera::GetXMLfromCamera() {
    char url[tavi::gvcp::kUrlSize + 1] = {};
    int status = ReadUrlRegister(tavi::gvcp::kRegFirstUrl, url);
    if (status != 0) status = ReadUrlRegister(tavi::gvcp::kRegSecondUrl, url);
    if (status != 0) {
        TAVI_LOG_ERROR(
            &log, "[function:GetXMLfromCamera] Failed to read xml file from memory twice. error code: %d.",
            MemoryCode(status));
        return MemoryCode(status);
    }
    tavi::DescriptionLocation location;
    if (!tavi::ParseDescriptionUrl(url, &location)) {
        TAVI_LOG_ERROR(
            &log, "[function:GetXMLfromCamera] The url of the xml file is invalid: %.200s error code: %d.",
            url, TAVI_ERR_DESCRIPTION_READ);
        return TAVI_ERR_DESCRIPTION_READ;
    }
    auto* file = static_cast<unsigned char*>(std::malloc(location.length + 1u));
    if (file == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:GetXMLfromCamera] No memory for the xml file. error code: %d.",
                       TAVI_ERR_DESCRIPTION_READ);
        return TAVI_ERR_DESCRIPTION_READ;
    }
    const uint32_t chunks = tavi::DescriptionChunkCount(location.length);
    for (uint32_t j = 0; j < chunks; ++j) {
        const tavi::DescriptionChunk chunk = tavi::DescriptionChunkAt(location, j);
        char buffer[tavi::gvcp::kMemBufferSize] = {};
        status = ReadMem(chunk.address, chunk.request_count, buffer);
        if (status != 0) {
            TAVI_LOG_ERROR(&log,
                           "[function:GetXMLfromCamera] Failed to read xml file from buffer. error code: %d.",
                           MemoryCode(status));
            std::free(file);
            return MemoryCode(status);
        }
        std::memcpy(file + chunk.file_offset, buffer + tavi::gvcp::kMemAckData, chunk.keep_count);
    }
    file[location.length] = 0;
    // The old description goes only once the new one is complete.
    std::free(xml_data);
    xml_data = file;
    xml_length = static_cast<int>(location.length);
    xml_file_name = location.file_name;
    xml_file_type = location.file_type;
    return 0;
}

int GigeCamera::BuildNodeMap() {
    if (!node_map) node_map = std::make_unique<tavi::NodeMap>();
    const bool zipped = xml_file_type == "zip";
    // Plain text ends at its first zero byte.
    const size_t size =
        zipped ? static_cast<size_t>(xml_length)
               : strnlen(reinterpret_cast<const char*>(xml_data), static_cast<size_t>(xml_length));
    std::string error;
    if (!node_map->Build(xml_data, size, zipped, &error)) {
        TAVI_LOG_ERROR(
            &log,
            "[function:CameraConnect] Failed to build the node map from the xml file: %.160s error code: %d.",
            error.c_str(), TAVI_ERR_DESCRIPTION_READ);
        return TAVI_ERR_DESCRIPTION_READ;
    }
    return 0;
}

int GigeCamera::GetRegisterAddr(const char* name) {
    return tavi::NoThrow(&log, "GetRegisterAddr", static_cast<int>(TAVI_ERR_FEATURE_NOT_FOUND), [&] {
        // Every address comes back as its 32-bit pattern; only the two look-up failures are codes.
        const tavi::FeatureAddress where = tavi::ResolveFeature(*this, {name});
        return where.code != 0 ? where.code : static_cast<int>(where.address);
    });
}

int GigeCamera::GetNodeProperty(const char* name, const char* property) {
    const tavi::DescriptionNode* node = node_map && name != nullptr ? node_map->GetNode(name) : nullptr;
    if (node == nullptr) return 0;
    if (const std::string* value = node->Property(property)) return tavi::PropertyTextToInt(*value);
    const std::string* register_name = node->Property(std::string("p") + property);
    if (register_name == nullptr) return 0;
    int value = 0;
    const int code = tavi::ReadFeature(*this, {register_name->c_str()}, &value);
    if (code != 0) {
        TAVI_LOG_ERROR(&log, "[function:GetNodeProperty] Get the property of the node error. error code: %x.",
                       code);
        return code;
    }
    return value;
}

namespace {

int NodeLimit(GigeCamera* camera, cameralog* log, const char* name, const LimitQuery& query,
              int (GigeCamera::*property_of)(const char*, const char*)) {
    if (camera->connected.load() == 0) {
        TAVI_LOG_DEBUG(log, "[function:%s] The camera disconnected.", query.function);
        return TAVI_ERR_NOT_CONNECTED;
    }
    const int value =
        tavi::NoThrow(log, query.function, -1, [&] { return (camera->*property_of)(name, query.property); });
    if (value < 0) {
        TAVI_LOG_ERROR(log, "[function:%s] Get the %s value of the node error.", query.function,
                       query.error_text);
        return query.error_code;
    }
    return value;
}

}  // namespace

int GigeCamera::GetNodeMinValue(const char* name) {
    return NodeLimit(this, &log, name, kMinQuery, &GigeCamera::GetNodeProperty);
}

int GigeCamera::GetNodeMaxValue(const char* name) {
    return NodeLimit(this, &log, name, kMaxQuery, &GigeCamera::GetNodeProperty);
}

int GigeCamera::GetNodeIncValue(const char* name) {
    const int value = NodeLimit(this, &log, name, kIncQuery, &GigeCamera::GetNodeProperty);
    return value == 0 ? 1 : value;  // an increment is never 0
}

void GigeCamera::GetCameraXMLNodeNames(std::vector<std::string>* names) {
    if (names == nullptr || !node_map || !node_map->HasNodeMap() || connected.load() != 1) return;
    TAVI_LOG_INFO(&log, "[function:GetCameraXMLNodeNames] Get the node name of the camera from xml file.");
    // Names appended before memory ran out stay.
    tavi::NoThrow(&log, "GetCameraXMLNodeNames", [&] {
        for (const tavi::DescriptionNode& node : node_map->GetNodes()) {
            if (node.is_feature && node.interface_type != tavi::NodeInterface::kCategory)
                names->push_back(node.name);
        }
    });
}

int GigeCamera::ReadStringBytes(const char* name, char* text, int* length) {
    *length = 0;
    if (connected.load() == 0) return TAVI_ERR_NOT_CONNECTED;
    const tavi::DescriptionNode* node = node_map && name != nullptr ? node_map->GetNode(name) : nullptr;
    if (node == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:ReadStringRegister] The node is not in the xml file. error code: %d.",
                       TAVI_ERR_FEATURE_NOT_FOUND);
        return TAVI_ERR_FEATURE_NOT_FOUND;
    }
    const std::string* length_text = node->Property("Length");
    const int declared = length_text != nullptr ? tavi::PropertyTextToInt(*length_text) : 0;
    if (declared > kMaxStringRegisterLength) {
        TAVI_LOG_ERROR(&log,
                       "[function:ReadStringRegister] The length of the string register is beyond %d bytes. "
                       "length: %d, error code: %d.",
                       kMaxStringRegisterLength, declared, TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    if (declared <= 0) return 0;
    const tavi::FeatureAddress where = tavi::ResolveFeature(*this, {name});
    if (where.code != 0) return where.code;
    *length = declared;
    const uint32_t address = where.address;
    // A register longer than one memory read is read in several, each within the acknowledge buffer.
    for (int offset = 0; offset < declared; offset += static_cast<int>(tavi::gvcp::kMemMaxData)) {
        const int count = std::min(declared - offset, static_cast<int>(tavi::gvcp::kMemMaxData));
        char buffer[tavi::gvcp::kMemBufferSize] = {};
        const int status =
            ReadMem(address + static_cast<unsigned int>(offset), static_cast<unsigned short>(count), buffer);
        if (status != 0) {
            std::memset(text, 0, static_cast<size_t>(declared));
            return MemoryCode(status);
        }
        std::memcpy(text + offset, buffer + tavi::gvcp::kMemAckData, static_cast<size_t>(count));
    }
    return 0;
}

void GigeCamera::ReadStringRegister(const char* name, char* destination) {
    if (connected.load() == 0) {
        TAVI_LOG_DEBUG(&log, "[function:ReadStringRegister] The camera disconnected.");
        return;
    }
    if (destination == nullptr) return;
    char text[kMaxStringRegisterLength];
    int length = 0;
    tavi::NoThrow(&log, "ReadStringRegister", static_cast<int>(TAVI_ERR_FEATURE_NOT_FOUND),
                  [&] { return ReadStringBytes(name, text, &length); });
    // A refused node or length leaves the destination untouched (length 0); a failed read gives
    // Length zero bytes.
    std::memcpy(destination, text, static_cast<size_t>(length));
}

int GigeCamera::ReadStringRegister(const char* name, char* destination, size_t capacity) {
    if (destination == nullptr || capacity == 0) return TAVI_ERR_INVALID_ARGUMENT;
    destination[0] = '\0';
    if (connected.load() == 0) {
        TAVI_LOG_DEBUG(&log, "[function:ReadStringRegister] The camera disconnected.");
        return TAVI_ERR_NOT_CONNECTED;
    }
    char text[kMaxStringRegisterLength];
    int length = 0;
    const int code = tavi::NoThrow(&log, "ReadStringRegister", static_cast<int>(TAVI_ERR_FEATURE_NOT_FOUND),
                                   [&] { return ReadStringBytes(name, text, &length); });
    if (code != 0) return code;
    const size_t kept = std::min(static_cast<size_t>(length), capacity - 1);
    std::memcpy(destination, text, kept);
    destination[kept] = '\0';
    return 0;
}

// The public signature takes the directory by value.
int GigeCamera::SaveXmlToLocal(std::string directory) {  // NOLINT(performance-unnecessary-value-param)
    if (connected.load() == 0) {
        TAVI_LOG_ERROR(&log, "[function:SaveXmlToLocal] The camera disconnected. error code: %d.",
                       TAVI_ERR_NOT_CONNECTED);
        return TAVI_ERR_NOT_CONNECTED;
    }
    if (directory.empty()) {
        TAVI_LOG_ERROR(&log, "[function:SaveXmlToLocal] The input parameter is invalid. error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    std::string path;
    const bool named = tavi::NoThrow(&log, "SaveXmlToLocal", false, [&] {
        path = directory + "/" + xml_file_name + "." + xml_file_type;
        return true;
    });
    FILE* file = named ? std::fopen(path.c_str(), "wb") : nullptr;
    if (file == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:SaveXmlToLocal] Save xml file to local error. error code: %d",
                       TAVI_ERR_DESCRIPTION_SAVE);
        return TAVI_ERR_DESCRIPTION_SAVE;
    }
    // A short write (a full disk) must not pass for a saved description.
    const size_t size = static_cast<size_t>(xml_length) + 1;
    const bool written = std::fwrite(xml_data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        TAVI_LOG_ERROR(&log, "[function:SaveXmlToLocal] Save xml file to local error. error code: %d",
                       TAVI_ERR_DESCRIPTION_SAVE);
        return TAVI_ERR_DESCRIPTION_SAVE;
    }
    return 0;
}
