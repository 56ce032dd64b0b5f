#include "camera/description_url.h"

#include <cctype>

namespace tavi {

namespace {

bool ParseHexField(std::string_view text, uint32_t* value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > kMaxHexFieldLength) return false;
    uint64_t result = 0;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        result = result * 16 + static_cast<uint64_t>(digit);
        if (result > UINT32_MAX) return false;
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

// Splits "text;text;text" at its semicolons into exactly three fields.
bool SplitThree(std::string_view text, std::string_view (&fields)[3]) {
    for (int i = 0; i < 2; ++i) {
        const size_t semicolon = text.find(';');
        if (semicolon == std::string_view::npos) return false;
        fields[i] = text.substr(0, semicolon);
        text.remove_prefix(semicolon + 1);
    }
    if (text.find(';') != std::string_view::npos) return false;
    fields[2] = text;
    return true;
}

}  // namespace

bool ParseDescriptionUrl(std::string_view url, DescriptionLocation* location) {
    url = url.substr(0, url.find('\0'));
    // An optional "?SchemaVersion=..." suffix says nothing about where the file is.
    url = url.substr(0, url.find('?'));
    const size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view fields[3];
    if (!SplitThree(url.substr(colon + 1), fields)) return false;

    std::string_view file = fields[0];
    const size_t directory_end = file.find_last_of("/\\");
    if (directory_end != std::string_view::npos) file.remove_prefix(directory_end + 1);
    const size_t dot = file.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == file.size()) return false;
    const std::string_view name = file.substr(0, dot);
    const std::string_view type = file.substr(dot + 1);
    if (name.size() > kMaxFileNameLength || type.size() > kMaxFileTypeLength) return false;
    if (name.find_first_not_of('.') == std::string_view::npos) return false;

    DescriptionLocation parsed;
    if (!ParseHexField(fields[1], &parsed.address) || !ParseHexField(fields[2], &parsed.length)) return false;
    if (parsed.length == 0 || parsed.length > kMaxDescriptionLength) return false;
    if (static_cast<uint64_t>(parsed.address) + parsed.length > (uint64_t{1} << 32)) return false;
    parsed.file_name = name;
    parsed.file_type = type;
    *location = std::move(parsed);
    return true;
}

uint32_t DescriptionChunkCount(uint32_t length) {
    return (length + kDescriptionChunkSize - 1) / kDescriptionChunkSize;
}

DescriptionChunk DescriptionChunkAt(const DescriptionLocation& location, uint32_t index) {
    const uint32_t offset = index * kDescriptionChunkSize;
    const bool last = index + 1 == DescriptionChunkCount(location.length);
    const uint32_t keep = last ? location.length - offset : kDescriptionChunkSize;
    const uint32_t request = (keep + 3) / 4 * 4;
    return {location.address + offset, static_cast<uint16_t>(request), static_cast<uint16_t>(keep), offset};
}

}  // namespace tavi
