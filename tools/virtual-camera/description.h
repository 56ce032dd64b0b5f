#pragma once
// The camera's GenICam description file (schema 1.1): every feature with the register it reaches,
// written as real cameras write theirs, and the form in which the camera serves it from its memory.

#include <cstdint>
#include <string>
#include <vector>

#include "settings.h"

namespace vcam {

// The XML text of the description.
std::string DescriptionXml(const Settings& settings);

// A zip archive holding one file; empty when it could not be built.
std::vector<uint8_t> ZipOneFile(const std::string& file_name, const std::string& content);

// What the camera serves: the URL text for the First and Second URL registers and the file's bytes
// at `address`, zipped or plain and damaged as the settings ask.
struct DescriptionFile {
    std::string url;
    std::vector<uint8_t> bytes;
};
DescriptionFile ServedDescription(const Settings& settings, uint32_t address);

}  // namespace vcam
