#include "export/fixed2_format.h"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tavi {
namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* AppendTwoDigits(char* out, unsigned value) {
    std::memcpy(out, kDigitPairs + size_t{2} * value, 2);
    return out + 2;
}

int DecimalDigits(uint64_t value) {
    int digits = 1;
    for (uint64_t limit = 10; digits < 20 && value >= limit; limit *= 10) ++digits;
    return digits;
}

// Digits are written from the end backwards, two at a time, straight into place.
char* AppendUnsigned(char* out, uint64_t value) {
    char* const end = out + DecimalDigits(value);
    char* cursor = end;
    while (value >= 100) {
        cursor -= 2;
        std::memcpy(cursor, kDigitPairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        std::memcpy(cursor - 2, kDigitPairs + 2 * value, 2);
    } else {
        cursor[-1] = static_cast<char>('0' + value);
    }
    return end;
}

char* AppendBySnprintf(char* out, float value) {
    char text[kMaxFixed2Chars + 8];
    const int length = std::snprintf(text, sizeof text, "%.2f", static_cast<double>(value));
    std::memcpy(out, text, static_cast<size_t>(length));
    return out + length;
}

constexpr int kLargestExactShift = 32;  // mantissa (< 2^24) << 32, times 100, still fits 64 bits

}  // namespace

char* AppendFixed2(char* out, float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    const uint32_t exponent = (bits >> 23) & 0xFF;
    const uint32_t fraction = bits & 0x7FFFFF;
    if (exponent == 0xFF) return AppendBySnprintf(out, value);
    // |value| = mantissa x 2^shift exactly.
    const uint64_t mantissa = exponent != 0 ? (fraction | 0x800000u) : fraction;
    const int shift = exponent != 0 ? static_cast<int>(exponent) - 150 : -149;
    if (shift > kLargestExactShift) return AppendBySnprintf(out, value);

    uint64_t hundredths;  // |value| x 100, rounded to nearest, halfway cases to even
    if (shift >= 0) {
        hundredths = (mantissa << shift) * 100;
    } else if (-shift >= 64) {
        hundredths = 0;  // below 2^-40: far under half a hundredth
    } else {
        const int down = -shift;
        const uint64_t scaled = mantissa * 100;
        hundredths = scaled >> down;
        const uint64_t remainder = scaled & ((uint64_t{1} << down) - 1);
        const uint64_t half = uint64_t{1} << (down - 1);
        if (remainder > half || (remainder == half && (hundredths & 1))) ++hundredths;
    }
    if (bits >> 31) *out++ = '-';
    out = AppendUnsigned(out, hundredths / 100);
    *out++ = '.';
    return AppendTwoDigits(out, static_cast<unsigned>(hundredths % 100));
}

char* AppendTruncatedInt(char* out, float value) {
    if (!(value >= -2147483648.0f && value < 2147483648.0f)) value = 0.0f;
    const auto integer = static_cast<int64_t>(static_cast<int32_t>(value));
    if (integer < 0) *out++ = '-';
    return AppendUnsigned(out, static_cast<uint64_t>(integer < 0 ? -integer : integer));
}

}  // namespace tavi
