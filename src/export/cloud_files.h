#pragma once
// The point-cloud files, written from a Coord3D_ABC16 frame that has data. Each returns 0, or -41
// when the file could not be opened or written completely (-42 for a text file that could not be
// opened).

#include <cstdio>

#include "TaviSDK/Types.h"

namespace tavi {

int WritePcdFile(const PhotoInfo& frame, const char* path);

// The plain way to write the text files, one fprintf per value: what the fast writers must match
// byte for byte. `ply_header` adds the PLY header; lines end in CR LF.
void WritePointTextReference(const PhotoInfo& frame, FILE* file, bool ply_header);
void WriteFusedTextReference(const float* records, size_t count, FILE* file);

}  // namespace tavi
