#include "TaviSDK/Discovery.h"

#include <cstdlib>
#include <cstring>
#include <exception>

#include "discovery/address_text.h"

namespace {
constexpr size_t kIpTextSize = 16;
}

Discovery::Discovery() : ip_text(static_cast<char*>(std::calloc(kIpTextSize, 1))) {}

Discovery::~Discovery() { std::free(ip_text); }

Discovery& Discovery::operator=(const Discovery& other) {
    if (this == &other) return *this;
    camera_count = other.camera_count;
    request_id = other.request_id;
    std::memcpy(ip_text, other.ip_text, kIpTextSize);
    return *this;
}

void Discovery::SetLogLevelSwitch(int error, int debug, int warning, int info) {
    LogSwitches::error = error;
    LogSwitches::debug = debug;
    LogSwitches::warning = warning;
    LogSwitches::info = info;
}

int Discovery::DiscoverCamera(std::vector<DiscoveryInfo>* list) {
    if (list == nullptr) return camera_count;
    log_open(&log, "discovercamera");
    const size_t before = list->size();
    try {
        camera_count = DiscoverCameraWin32(&list);
    } catch (const std::exception&) {
        // The list could not grow (memory ran out): the records appended so far stand.
        camera_count = static_cast<int>(list->size() - before);
        TAVI_LOG_ERROR(&log, "[function:DiscoverCamera] No memory for more records after %d.", camera_count);
    }
    log_close(&log);
    return camera_count;
}

char* Discovery::ConvertIpIntToString(unsigned int address) {
    return tavi::FormatIpText(&log, address, ip_text, kIpTextSize);
}

unsigned int Discovery::ConvertIpStringToInt(char* text) { return tavi::ParseIpText(&log, text); }

bool Discovery::WhetherIsSameSegment(DiscoveryInfo info) {
    return (info.camera_ip & info.camera_mask) == (info.pc_ip & info.pc_mask);
}
