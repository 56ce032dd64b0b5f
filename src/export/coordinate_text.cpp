#include "export/coordinate_text.h"

#include <cstdlib>
#include <cstring>

#include "export/fixed2_format.h"

namespace tavi {

CoordinateTexts::CoordinateTexts(float unit, bool is_signed)
    : entries_(static_cast<Entry*>(std::calloc(65536, sizeof(Entry)))), unit_(unit), is_signed_(is_signed) {}

CoordinateTexts::~CoordinateTexts() { std::free(entries_); }

char* CoordinateTexts::AppendNew(char* out, uint16_t word) {
    if (entries_ == nullptr) return AppendFixed2(out, Value(word));
    // |raw / unit| <= 65535 for any unit of 1 or more ("-32768.00"); a unit of 0 gives "inf" or "-nan".
    Entry& entry = entries_[word];
    char text[kMaxFixed2Chars];
    const size_t length = static_cast<size_t>(AppendFixed2(text, Value(word)) - text);
    if (length > sizeof entry.text) return AppendFixed2(out, Value(word));
    std::memcpy(entry.text, text, length);
    entry.length = static_cast<uint8_t>(length);
    std::memcpy(out, &entry, sizeof entry);
    return out + length;
}

}  // namespace tavi
