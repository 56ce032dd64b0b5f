#pragma once
// Writes an 8-bit RGB picture as a PNG file.

#include <string>

#include "preview.h"

namespace tavi::cli {

// True when the whole file was written; a partly written file is removed.
bool WriteRgbPng(const RgbImage& image, const std::string& path);

}  // namespace tavi::cli
