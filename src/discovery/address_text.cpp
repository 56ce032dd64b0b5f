#include "discovery/address_text.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Types.h"

namespace tavi {
namespace {

constexpr char kNoAddressText[] = "0.0.0.0";
constexpr uint32_t kUninitialisedAddress = 0xCDCDCDCDu;

// The "0.0.0.0" test compares the text with its terminator, without reading past a shorter text.
bool IsNoAddressText(const char* text) {
    return std::strncmp(text, kNoAddressText, sizeof kNoAddressText) == 0;
}

}  // namespace

uint32_t ParseIpText(cameralog* log, const char* text) {
    if (text == nullptr || IsNoAddressText(text)) {
        TAVI_LOG_WARNING(log,
                         "[function:ConvertIpStringToInt] There is a problem with the incoming parameters, "
                         "error code: %d",
                         TAVI_ERR_INVALID_ARGUMENT);
        return 0;
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) {
        TAVI_LOG_WARNING(log,
                         "[function:ConvertIpStringToInt] Failed to convert dotted decimal ip address into "
                         "numerical format for network transmission, error code: %d",
                         TAVI_ERR_IP_CONVERSION);
        return 0;
    }
    return ntohl(parsed.s_addr);
}

char* FormatIpText(cameralog* log, uint32_t address, char* buffer, size_t buffer_size) {
    static char no_address[] = "0.0.0.0";
    if (address == 0 || address == kUninitialisedAddress) {
        TAVI_LOG_WARNING(log,
                         "[function:ConvertIpIntToString] There is a problem with the incoming parameters, "
                         "error code: %d",
                         TAVI_ERR_IP_CONVERSION);
        return no_address;
    }
    std::snprintf(buffer, buffer_size, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255u,
                  (address >> 8) & 255u, address & 255u);
    return buffer;
}

}  // namespace tavi
